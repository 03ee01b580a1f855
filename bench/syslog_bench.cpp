// Messages per second delivered to a real rsyslogd over UDP and over TCP by
// the running process-wide logger (configured from a per-user key with its
// file, event log and console outputs off; from the first DebugLog to the
// return of FlushAndStopDebugLogger), by the syslog output on its own
// (formatting, conversion and send of each entry), and by a bare loop that
// sends the same bytes on a socket, in the same run, rounds interleaved.
// Also counts what rsyslogd wrote of each case. Needs the server of
// tests/syslog/rsyslog.sh (FERNWICK_RSYSLOG_DIR, as scripts/bench.sh starts
// it). Prints its figures; asserts nothing.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/logging/debug_log.h"
#include "support/logging/debug_logger.h"
#include "support/logging/syslog_output.h"

namespace {

constexpr int kMessages = 5000;
constexpr int kRounds = 7;
constexpr wchar_t kSourceName[] = L"SyslogBench";

double Now() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Lines of the server's log that hold `marker`, once the count stops growing.
size_t Received(const std::string& folder, const std::string& marker) {
  size_t count = 0;
  for (int poll = 0; poll < 100; ++poll) {
    Sleep(100);
    const std::string all = ReadFile(folder + "/messages.log");
    size_t found = 0;
    for (size_t at = all.find(marker); at != std::string::npos; at = all.find(marker, at + 1)) ++found;
    if (found == count && poll > 0) break;
    count = found;
  }
  return count;
}

SyslogFields Fields(const char* text) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return SyslogFields{now, GetCurrentThreadId(), 3, 0, text, nullptr, 16, true, kSourceName};
}

// Messages per second through the syslog output to `hosts`.
double SinkRate(const std::string& hosts, const std::string& text) {
  SyslogOutput output([](const std::wstring&) {});
  output.Start(hosts);
  // A connect completes on a later pass.
  for (int pass = 0; pass < 200 && output.GetTargets()[0].state != SyslogTarget::kConnected; ++pass) {
    output.Connect();
    Sleep(10);
  }
  const SyslogFields fields = Fields(text.c_str());
  const double start = Now();
  for (int i = 0; i < kMessages; ++i) output.Send(fields, 3, true);
  return kMessages / (Now() - start);
}

// The same bytes sent by a bare loop on a connected socket.
double BareRate(const std::string& hosts, const std::string& text) {
  const SyslogTarget target = std::move(ParseSyslogHosts(hosts).front());
  WinSockSession winsock;
  winsock.Start();
  sockaddr_in address = target.address;
  address.sin_addr.s_addr = inet_addr(target.host.c_str());
  UniqueSocket socket(::socket(AF_INET, target.type, target.protocol));
  connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  char hostName[128] = "LocalHost";
  gethostname(hostName, sizeof hostName);
  const std::wstring wide = FormatSyslogMessage(Fields(text.c_str()), hostName, 0);
  const std::string bytes(wide.begin(), wide.end());
  const double start = Now();
  for (int i = 0; i < kMessages; ++i) send(socket.Get(), bytes.data(), static_cast<int>(bytes.size()), 0);
  return kMessages / (Now() - start);
}

// The logger's key: syslog to `hosts` at facility 16, every other output off.
bool ConfigureKey(const std::wstring& key, const std::string& hosts) {
  bool written = RegSetKeyValueA(HKEY_CURRENT_USER, std::string(key.begin(), key.end()).c_str(), "SysLogHost", REG_SZ,
                                 hosts.c_str(), static_cast<DWORD>(hosts.size() + 1)) == ERROR_SUCCESS;
  for (const auto& value : {std::make_pair(L"SysLogEnabled", 1), std::make_pair(L"SysLogLevel", 3),
                            std::make_pair(L"SysLogFacility", 16), std::make_pair(L"DebugLogEnabled", 0),
                            std::make_pair(L"EventLogEnabled", 0), std::make_pair(L"ConsoleLogEnabled", 0)}) {
    const DWORD number = static_cast<DWORD>(value.second);
    written = written && RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), value.first, REG_DWORD, &number,
                                         sizeof number) == ERROR_SUCCESS;
  }
  return written;
}

// Messages per second through the running logger, configured by `key`.
double LoggerRate(const std::wstring& key, const std::string& text) {
  if (!StartDebugLogger(kSourceName, key.c_str(), true, L"", nullptr)) return 0;
  // The first pass of the logger's loop connects.
  Sleep(300);
  const std::wstring wide(text.begin(), text.end());
  const double start = Now();
  for (int i = 0; i < kMessages; ++i) DebugLog(3, L"%s", wide.c_str());
  FlushAndStopDebugLogger();
  return kMessages / (Now() - start);
}

}  // namespace

int main() {
  const char* folder = std::getenv("FERNWICK_RSYSLOG_DIR");
  if (folder == nullptr) {
    std::fprintf(stderr, "FERNWICK_RSYSLOG_DIR is not set (run scripts/bench.sh)\n");
    return 1;
  }
  unsigned udpPort = 0, tcpPort = 0;
  std::istringstream(ReadFile(std::string(folder) + "/ports")) >> udpPort >> tcpPort;
  const std::string udp = "127.0.0.1:" + std::to_string(udpPort);
  const std::string tcp = "127.0.0.1:" + std::to_string(tcpPort) + "/tcp";
  const std::wstring key = L"Software\\FernwickSyslogBench_" + std::to_wstring(GetCurrentProcessId());
  std::printf("SyslogBench: %d messages of about 120 bytes per run, %d rounds, medians\n", kMessages, kRounds);
  for (const std::string& hosts : {udp, tcp}) {
    if (!ConfigureKey(key, hosts)) {
      std::fprintf(stderr, "cannot write the logger's key\n");
      return 1;
    }
    std::vector<double> logger, sink, bare, loggerRatio, sinkRatio;
    size_t received[3] = {};
    for (int round = 0; round < kRounds; ++round) {
      const std::string tag = "bench" + std::to_string(GetTickCount()) + "r" + std::to_string(round);
      bare.push_back(BareRate(hosts, tag + "bare " + std::string(40, 'b')));
      logger.push_back(LoggerRate(key, tag + "logr " + std::string(40, 'l')));
      sink.push_back(SinkRate(hosts, tag + "sink " + std::string(40, 's')));
      loggerRatio.push_back(logger.back() / bare.back());
      sinkRatio.push_back(sink.back() / bare.back());
      if (round == 0) {
        const char* cases[] = {"bare", "logr", "sink"};
        for (int i = 0; i < 3; ++i) received[i] = Received(folder, tag + cases[i]);
      }
    }
    std::printf("  %s: logger %.0f msg/s (ratio %.2f), syslog output alone %.0f msg/s (ratio %.2f), "
                "bare socket loop %.0f msg/s\n",
                hosts == tcp ? "TCP" : "UDP", Median(logger), Median(loggerRatio), Median(sink), Median(sinkRatio),
                Median(bare));
    std::printf("       received by rsyslogd in round 1: logger %zu, output %zu, bare %zu, of %d each\n", received[1],
                received[2], received[0], kMessages);
  }
  RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
  return 0;
}
