#pragma once
// Owners of WinSock resources: the library's reference on WinSock itself and
// a socket, each released by its destructor.

#include <winsock2.h>

class WinSockSession {
 public:
  WinSockSession() = default;
  ~WinSockSession() { Release(); }
  WinSockSession(const WinSockSession&) = delete;
  WinSockSession& operator=(const WinSockSession&) = delete;

  // Starts WinSock 1.1; false (and nothing held) when it reports an error.
  bool Start() {
    if (started_) return true;
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(1, 1), &data) == 0;
    return started_;
  }
  void Release() {
    if (started_) WSACleanup();
    started_ = false;
  }
  bool IsStarted() const { return started_; }

 private:
  bool started_ = false;
};

class UniqueSocket {
 public:
  UniqueSocket() = default;
  explicit UniqueSocket(SOCKET socket) : socket_(socket) {}
  ~UniqueSocket() { Close(); }
  UniqueSocket(UniqueSocket&& other) noexcept : socket_(other.socket_) { other.socket_ = INVALID_SOCKET; }
  UniqueSocket& operator=(UniqueSocket&& other) noexcept {
    if (this != &other) {
      Close();
      socket_ = other.socket_;
      other.socket_ = INVALID_SOCKET;
    }
    return *this;
  }
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;

  SOCKET Get() const { return socket_; }
  bool IsValid() const { return socket_ != INVALID_SOCKET; }
  void Close() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
};
