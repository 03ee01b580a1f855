#pragma once
// The logger's syslog output: one target per server of the host list, over
// UDP or TCP, connected (and after a loss reconnected) by the logger thread on
// the passes of its loop. Connection changes are reported once per change
// through the reporter, as "[DIAG]" texts. Used only on the logger thread.
//
// No socket operation waits beyond a bound: host names are resolved on a
// thread of their own, a connect runs in the background until it answers or
// times out, and a send waits for room only for a while. A target that fails
// or times out is closed and tried again after a delay that doubles from the
// first to the last retry delay.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/logging/syslog_message.h"
#include "support/logging/winsock.h"

constexpr uint16_t kDefaultSyslogPort = 514;
// The longest host list taken, in characters.
constexpr size_t kSyslogHostListLimit = 2047;

// The bounds of the output's waits, in milliseconds.
struct SyslogTimings {
  // A server on the network answers a connect well within this.
  DWORD connect = 3000;
  // A server that reads empties a socket's buffer well within this.
  DWORD send = 2000;
  DWORD firstRetry = 5000;
  DWORD lastRetry = 300000;
};

// A name being resolved, shared with the thread that resolves it.
struct SyslogResolution;

struct SyslogTarget {
  static constexpr int32_t kNeverAttempted = -1;
  static constexpr int32_t kNotConnected = 0;
  static constexpr int32_t kConnected = 1;

  int32_t lastError = 0;
  int32_t state = kNeverAttempted;
  // A connect was begun and has not answered yet.
  bool connecting = false;
  // The address holds the host's; a name is resolved again after a failure.
  bool resolved = false;
  std::shared_ptr<SyslogResolution> resolution;
  // When the connect began, or when the connection was made.
  DWORD stateTick = 0;
  // The current delay before the next attempt, 0 before any failure.
  DWORD retryDelay = 0;
  DWORD nextAttemptTick = 0;
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

  explicit SyslogOutput(Reporter report, SyslogTimings timings = SyslogTimings())
      : report_(std::move(report)), timings_(timings) {}
  ~SyslogOutput() { Stop(); }
  SyslogOutput(const SyslogOutput&) = delete;
  SyslogOutput& operator=(const SyslogOutput&) = delete;

  // Builds the targets; nothing when already started, the list is empty or
  // WinSock does not start.
  void Start(const std::string& hostList);
  // Moves every target that is not connected and is due a step on: a name
  // resolved, a connect begun, or one begun finished or timed out. Never
  // waits.
  void Connect();
  // Formats the entry (the sequence number advances) and sends it to every
  // connected target, unless its level is above `outputLevel` and is not 5.
  // With `waitForRoom` a connect under way and a full socket buffer are
  // waited for (up to their bounds, then the target is given up on for a
  // while); without, the message is dropped for that server.
  void Send(const SyslogFields& fields, int32_t outputLevel, bool waitForRoom);
  // Closes every socket and releases WinSock; the targets stay listed.
  void Stop();

  bool IsStarted() const { return winsock_.IsStarted(); }
  const std::vector<SyslogTarget>& GetTargets() const { return targets_; }
  uint32_t GetSequenceNumber() const { return sequence_; }
  const std::string& GetHostName() const { return hostName_; }

 private:
  // True once the address is known; a name is handed to a resolver thread
  // and its answer taken on a later pass.
  bool Resolve(SyslogTarget& target);
  void BeginConnect(SyslogTarget& target);
  // With `wait`, waits for the answer until the connect bound has passed.
  void FinishConnect(SyslogTarget& target, bool wait);
  void ConnectFailed(SyslogTarget& target, int32_t error);
  // Reports a resolution or socket failure once per distinct error.
  void OpenFailed(SyslogTarget& target, int32_t error);
  void ConnectionLost(SyslogTarget& target, int32_t error);
  void ScheduleRetry(SyslogTarget& target, bool wasConnected);
  void SendBytes(SyslogTarget& target, const std::string& bytes, bool waitForRoom);
  // Sends all of `bytes` (`isTail`: the rest of a message begun earlier);
  // false when the connection was lost.
  bool Transmit(SyslogTarget& target, const std::string& bytes, bool isTail, bool waitForRoom);

  Reporter report_;
  SyslogTimings timings_;
  WinSockSession winsock_;
  std::vector<SyslogTarget> targets_;
  std::string hostName_;
  uint32_t sequence_ = 0;
};
