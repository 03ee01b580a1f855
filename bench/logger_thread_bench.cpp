// The logger thread's throughput and latency to a UTF-8 log file, beside a
// floor measured in the same run: a bare loop that formats the same lines
// and writes each with WriteFile.
//
//   LoggerThreadBench [entries per thread]

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "support/logging/debug_log.h"
#include "support/logging/debug_logger.h"

namespace {

int kThreads = 4;
constexpr int kLatencySamples = 40;

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}

int64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

int64_t CountLines(const std::wstring& path, const char* needle) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  std::string text;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
  CloseHandle(file);
  int64_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

bool StartLogger(const std::wstring& path) {
  DebugLoggerConfig config;
  config.fileLevel = 3;
  config.consoleLevel = -1;  // no console
  config.encoding = 1;
  const std::string narrow(path.begin(), path.end());
  lstrcpynA(config.logFile.get(), narrow.c_str(), kConfigNameBytes);
  return StartDebugLogger(config);
}

double ThreadSeconds(HANDLE thread) {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) return 0;
  const auto ticks = [](const FILETIME& time) {
    return static_cast<double>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) / 1e7;
}

struct Throughputs {
  double wall = 0;        // entries per second from the first DebugLog to the flushed file
  double loggerCpu = 0;   // entries per second of the logger thread's own processor time
  int64_t written = 0;
};

// Four threads log as fast as they can while the logger thread writes.
Throughputs Throughput(const std::wstring& path, int perThread) {
  Throughputs result;
  DeleteFileW(path.c_str());
  if (!StartLogger(path)) return result;
  const LARGE_INTEGER start = Now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, perThread] {
      for (int i = 0; i < perThread; ++i) DebugLog(3, L"bench entry %d from thread %d", i, t);
    });
  }
  for (std::thread& thread : threads) thread.join();
  // The queue is drained once the file stops growing over two wake-ups;
  // the last growth seen marks the end of the writing.
  LARGE_INTEGER lastGrowth = Now();
  for (int64_t size = FileSize(path); Seconds(lastGrowth, Now()) < 0.45; Sleep(10)) {
    if (FileSize(path) != size) {
      size = FileSize(path);
      lastGrowth = Now();
    }
  }
  const double loggerSeconds = ThreadSeconds(GetDebugLogger().GetHandle());
  FlushAndStopDebugLogger();
  result.written = CountLines(path, "bench entry");
  result.wall = static_cast<double>(result.written) / Seconds(start, lastGrowth);
  result.loggerCpu = loggerSeconds > 0 ? static_cast<double>(result.written) / loggerSeconds : 0;
  return result;
}

// Milliseconds from DebugLog until the line is in the file.
std::vector<double> Latencies(const std::wstring& path) {
  DeleteFileW(path.c_str());
  std::vector<double> samples;
  if (!StartLogger(path)) return samples;
  for (int i = 0; i < kLatencySamples; ++i) {
    const int64_t before = FileSize(path);
    const LARGE_INTEGER start = Now();
    DebugLog(3, L"latency probe %d", i);
    while (FileSize(path) == before) Sleep(0);
    samples.push_back(Seconds(start, Now()) * 1000.0);
    // Let the next probe start at a random point of the logger's wait.
    Sleep(static_cast<DWORD>(7 * i % 50));
  }
  FlushAndStopDebugLogger();
  std::sort(samples.begin(), samples.end());
  return samples;
}

// The same lines formatted and converted to UTF-8 in a bare loop, one
// WriteFile per line.
struct Floors {
  double wall = 0;
  double cpu = 0;  // per the loop thread's processor time, measured like the logger's
};

Floors Floor(const std::wstring& path, int lines) {
  Floors result;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return result;
  const double cpuStart = ThreadSeconds(GetCurrentThread());
  const LARGE_INTEGER start = Now();
  for (int i = 0; i < lines; ++i) {
    SYSTEMTIME time;
    GetLocalTime(&time);
    wchar_t text[1024];
    _snwprintf(text, 1023, L"bench entry %d from thread %d", i, 0);
    wchar_t line[1024];
    const int length = _snwprintf(line, 1023, L"[%05lu] (%02d/%02d %02d:%02d:%02d.%03d):{0x%X} %s\r\n", 30000ul,
                                  time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond,
                                  time.wMilliseconds, GetCurrentThreadId(), text);
    char bytes[4096];
    const int size = WideCharToMultiByte(CP_UTF8, 0, line, length, bytes, sizeof bytes, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr);
  }
  result.wall = lines / Seconds(start, Now());
  const double cpu = ThreadSeconds(GetCurrentThread()) - cpuStart;
  result.cpu = cpu > 0 ? lines / cpu : 0;
  CloseHandle(file);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const int perThread = argc > 1 ? std::atoi(argv[1]) : 25000;
  if (argc > 2) kThreads = std::atoi(argv[2]);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring logPath = std::wstring(temp) + L"FernwickLoggerBench.log";
  const std::wstring floorPath = std::wstring(temp) + L"FernwickLoggerBenchFloor.log";

  const Throughputs throughput = Throughput(logPath, perThread);
  const Floors floor = Floor(floorPath, kThreads * perThread);
  const std::vector<double> latency = Latencies(logPath);
  std::printf("Logger thread, UTF-8 file, %d threads x %d entries\n", kThreads, perThread);
  std::printf("  entries written                 %lld of %d\n", static_cast<long long>(throughput.written),
              kThreads * perThread);
  std::printf("  floor (format+WriteFile loop)   %10.0f lines/s wall, %10.0f lines/s of its CPU time\n", floor.wall,
              floor.cpu);
  std::printf("  logger thread, per its CPU time %10.0f entries/s  (%3.0f %% of the floor's CPU rate)\n",
              throughput.loggerCpu, floor.cpu > 0 ? 100.0 * throughput.loggerCpu / floor.cpu : 0.0);
  std::printf("  end to end, wall clock          %10.0f entries/s  (%3.0f %% of the floor's wall rate; bound by\n"
              "                                  the logging threads' own cost on a shared 2-core machine)\n",
              throughput.wall, floor.wall > 0 ? 100.0 * throughput.wall / floor.wall : 0.0);
  if (!latency.empty()) {
    std::printf("  latency DebugLog->file   median %.1f ms, p99 %.1f ms (%zu samples)\n",
                latency[latency.size() / 2], latency[latency.size() * 99 / 100], latency.size());
  }
  DeleteFileW(logPath.c_str());
  DeleteFileW(floorPath.c_str());
  return throughput.written == kThreads * perThread ? 0 : 1;
}
