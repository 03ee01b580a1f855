#pragma once
// A TCP syslog server on 127.0.0.1 that accepts connections and never reads
// them: a sender's buffers fill and stay full.

#include <string>

#include "support/logging/winsock.h"

namespace syslog_test {

class StalledServer {
 public:
  StalledServer() {
    if (!winsock_.Start()) return;
    listener_ = UniqueSocket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    // Small, so that a sender's buffers fill after a few megabytes at most.
    const int receiveBuffer = 4096;
    setsockopt(listener_.Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
               sizeof receiveBuffer);
    if (bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_.Get(), SOMAXCONN) != 0 ||
        getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      listener_.Close();
      return;
    }
    port_ = ntohs(address.sin_port);
  }

  bool IsListening() const { return listener_.IsValid(); }
  std::string HostList() const { return "127.0.0.1:" + std::to_string(port_) + "/tcp"; }

 private:
  WinSockSession winsock_;
  UniqueSocket listener_;
  unsigned port_ = 0;
};

}  // namespace syslog_test
