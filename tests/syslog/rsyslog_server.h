#pragma once
// The real rsyslogd the syslog tests send to, run on the Linux side by
// tests/syslog/rsyslog.sh: FERNWICK_RSYSLOG_DIR names its folder (as a Wine
// path), FERNWICK_RSYSLOG_SCRIPT the script, for stopping and restarting it
// from a test. Every received message is one line "<imudp|imtcp> <raw>" of
// messages.log. Every wait here is bounded.

#include <string>
#include <vector>

namespace syslog_test {

class RsyslogServer {
 public:
  // False (with the reason in `error`) when the fixture is not running.
  bool Attach(std::string& error);

  unsigned short UdpPort() const { return udpPort_; }
  unsigned short TcpPort() const { return tcpPort_; }
  // The received lines that contain `marker`, waiting up to 10 s until there
  // are at least `count` of them.
  std::vector<std::string> WaitForLines(const std::string& marker, size_t count) const;
  // Stops or starts rsyslogd (same ports) and waits until it has.
  bool Stop() const { return Control("stop", "stopped"); }
  bool Start() const { return Control("start", "running"); }

 private:
  bool Control(const char* action, const char* state) const;
  std::string ReadFile(const char* name) const;

  std::string folder_;
  std::string script_;
  unsigned short udpPort_ = 0;
  unsigned short tcpPort_ = 0;
};

}  // namespace syslog_test
