#pragma once
// The logger's syslog output: one target per server of the host list, over
// UDP or TCP, connected (and after a loss reconnected) by the logger thread on
// each pass of its loop. Connection changes are reported once per change
// through the reporter, as "[DIAG]" texts. Used only on the logger thread.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/logging/syslog_message.h"
#include "support/logging/winsock.h"

constexpr uint16_t kDefaultSyslogPort = 514;
// The longest host list taken, in characters.
constexpr size_t kSyslogHostListLimit = 2047;

struct SyslogTarget {
  static constexpr int32_t kNeverAttempted = -1;
  static constexpr int32_t kNotConnected = 0;
  static constexpr int32_t kConnected = 1;

  int32_t lastError = 0;
  int32_t state = kNeverAttempted;
  UniqueSocket socket;
  int32_t type = SOCK_DGRAM;
  int32_t protocol = 0;
  sockaddr_in address = {};
  std::string host;
  // The tail of a message a non-blocking stream took only in part; it goes
  // out before anything else so that the server never sees a broken line.
  std::string unsent;
};

// "host[:port[/tcp]]" items separated by ",", blanks kept; the port is taken
// modulo 65536 and "/tcp" in any case must follow it directly.
std::vector<SyslogTarget> ParseSyslogHosts(const std::string& hostList);

class SyslogOutput {
 public:
  using Reporter = std::function<void(const std::wstring& text)>;

  explicit SyslogOutput(Reporter report) : report_(std::move(report)) {}
  ~SyslogOutput() { Stop(); }
  SyslogOutput(const SyslogOutput&) = delete;
  SyslogOutput& operator=(const SyslogOutput&) = delete;

  // Builds the targets; nothing when already started, the list is empty or
  // WinSock does not start.
  void Start(const std::string& hostList);
  // Resolves, creates and connects every target that is not connected; with
  // `blocking` off a new connection is switched to non-blocking sends.
  void Connect(bool blocking);
  // Formats the entry (the sequence number advances) and sends it to every
  // connected target, unless its level is above `outputLevel` and is not 5.
  void Send(const SyslogFields& fields, int32_t outputLevel);
  // Closes every socket and releases WinSock; the targets stay listed.
  void Stop();

  bool IsStarted() const { return winsock_.IsStarted(); }
  const std::vector<SyslogTarget>& GetTargets() const { return targets_; }
  uint32_t GetSequenceNumber() const { return sequence_; }
  const std::string& GetHostName() const { return hostName_; }

 private:
  // False (reported once per distinct error) when resolution or socket
  // creation fails.
  bool OpenSocket(SyslogTarget& target);
  void ConnectSocket(SyslogTarget& target, bool blocking);
  void SendBytes(SyslogTarget& target, const std::string& bytes);
  // Sends all of `bytes` (`isTail`: the rest of a message begun earlier);
  // false when the connection was lost.
  bool Transmit(SyslogTarget& target, const std::string& bytes, bool isTail);

  Reporter report_;
  WinSockSession winsock_;
  std::vector<SyslogTarget> targets_;
  std::string hostName_;
  uint32_t sequence_ = 0;
};
