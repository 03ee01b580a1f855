// Messages per second sent to a real rsyslogd by the logger's syslog output
// (formatting, conversion and send of each entry) over UDP and over TCP,
// beside a bare loop that sends the same bytes on a socket, in the same run,
// rounds interleaved. Also counts what rsyslogd wrote of each case. Needs
// the server of tests/syslog/rsyslog.sh (FERNWICK_RSYSLOG_DIR, as
// scripts/bench.sh starts it). Prints its figures; asserts nothing.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/logging/syslog_output.h"

namespace {

constexpr int kMessages = 5000;
constexpr int kRounds = 7;

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
  return SyslogFields{now, GetCurrentThreadId(), 3, 0, text, nullptr, 16, true, L"SyslogBench"};
}

// Messages per second through the syslog output to `hosts`.
double SinkRate(const std::string& hosts, const std::string& text) {
  SyslogOutput output([](const std::wstring&) {});
  output.Start(hosts);
  output.Connect(true);
  const SyslogFields fields = Fields(text.c_str());
  const double start = Now();
  for (int i = 0; i < kMessages; ++i) output.Send(fields, 3);
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
  const std::wstring wide = FormatSyslogMessage(Fields(text.c_str()), "vm", 0);
  const std::string bytes(wide.begin(), wide.end());
  const double start = Now();
  for (int i = 0; i < kMessages; ++i) send(socket.Get(), bytes.data(), static_cast<int>(bytes.size()), 0);
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
  std::printf("SyslogBench: %d messages of about 120 bytes per run, %d rounds, medians\n", kMessages, kRounds);
  for (const std::string& hosts : {udp, tcp}) {
    const bool isTcp = hosts == tcp;
    std::vector<double> sink, bare, ratio;
    size_t sinkReceived = 0, bareReceived = 0;
    for (int round = 0; round < kRounds; ++round) {
      const std::string tag = "bench" + std::to_string(GetTickCount()) + "r" + std::to_string(round);
      bare.push_back(BareRate(hosts, tag + "bare " + std::string(40, 'b')));
      sink.push_back(SinkRate(hosts, tag + "sink " + std::string(40, 's')));
      ratio.push_back(sink.back() / bare.back());
      if (round == 0) {
        bareReceived = Received(folder, tag + "bare");
        sinkReceived = Received(folder, tag + "sink");
      }
    }
    std::printf("  %s: syslog output %.0f msg/s, bare socket loop %.0f msg/s, ratio %.2f\n", isTcp ? "TCP" : "UDP",
                Median(sink), Median(bare), Median(ratio));
    std::printf("       received by rsyslogd in round 1: output %zu of %d, bare %zu of %d\n", sinkReceived, kMessages,
                bareReceived, kMessages);
  }
  return 0;
}
