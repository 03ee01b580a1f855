// inet_addr and gethostbyname are the resolution WinSock 1.1 offers.
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#include "support/logging/syslog_output.h"

#include <atomic>
#include <cstdio>
#include <cctype>
#include <cstring>

#include "support/fs/code_page.h"
#include "support/fs/text_utils.h"
#include "support/fs/unique_handle.h"
#include "support/logging/debug_logger.h"
#include "support/threads/thread.h"

namespace {

constexpr size_t kHostNameBytes = 128;
constexpr size_t kReportedHostLimit = 255;
constexpr int kAnsiMessageBytes = 1023;

bool EqualsNoCase(const std::string& text, const char* lowerCase) {
  if (text.size() != std::strlen(lowerCase)) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (static_cast<char>(std::tolower(static_cast<unsigned char>(text[i]))) != lowerCase[i]) return false;
  }
  return true;
}

SyslogTarget ParseItem(const std::string& item) {
  SyslogTarget target;
  uint32_t port = kDefaultSyslogPort;
  const size_t colon = item.find(':');
  target.host = item.substr(0, colon);
  if (colon != std::string::npos) {
    size_t end = colon + 1;
    port = 0;
    // Unsigned wrap-around keeps the value modulo 65536, however long.
    for (; end < item.size() && item[end] >= '0' && item[end] <= '9'; ++end) port = port * 10 + (item[end] - '0');
    if (EqualsNoCase(item.substr(end), "/tcp")) {
      target.type = SOCK_STREAM;
      target.protocol = IPPROTO_TCP;
    }
  }
  target.address.sin_family = AF_INET;
  target.address.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
  return target;
}

// "a.b.c.d" of an address, bytes in network order.
std::wstring DottedAddress(const sockaddr_in& address) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&address.sin_addr);
  wchar_t text[16];
  std::swprintf(text, 16, L"%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}

std::wstring DiagEvent(const wchar_t* event, int32_t error, const std::wstring& message) {
  wchar_t errorField[32] = L"";
  if (error != 0) std::swprintf(errorField, 32, L", ERROR=%d", static_cast<int>(error));
  return std::wstring(L"[DIAG] EVENT=") + event + errorField + L", EVENTMSG=\"" + message + L"\"";
}

// The message in the system's ANSI code page; false when some character has
// no form there.
bool ToAnsi(const std::wstring& message, std::string& bytes) {
  char buffer[kAnsiMessageBytes];
  const bool utf8 = GetACP() == CP_UTF8;
  BOOL defaultUsed = FALSE;
  const int length = WideCharToMultiByte(CP_ACP, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, message.data(),
                                         static_cast<int>(message.size()), buffer, kAnsiMessageBytes, nullptr,
                                         utf8 ? nullptr : &defaultUsed);
  if (length <= 0 || defaultUsed) return false;
  bytes.assign(buffer, strnlen(buffer, static_cast<size_t>(length)));
  return true;
}

// True when the socket can take more bytes within `milliseconds`.
bool WaitForRoom(SOCKET socket, DWORD milliseconds) {
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(socket, &writable);
  timeval wait = {static_cast<long>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000};
  return select(0, nullptr, &writable, nullptr, &wait) == 1;
}

}  // namespace

// A name lookup may take as long as the name servers do: it runs on a thread
// of its own, which holds the library's module while it runs.
struct SyslogResolution {
  std::string host;
  std::atomic<bool> done{false};
  in_addr address = {};
  int32_t error = 0;
};

namespace {

struct ResolverStart {
  std::shared_ptr<SyslogResolution> resolution;
  HMODULE module;
};

DWORD WINAPI ResolveHost(void* argument) {
  HMODULE module = nullptr;
  {
    const std::unique_ptr<ResolverStart> start(static_cast<ResolverStart*>(argument));
    module = start->module;
    SyslogResolution& resolution = *start->resolution;
    // On the output's WinSock session: a session of its own would, ending
    // last, close every socket the process still has. An output stopped
    // meanwhile has dropped the answer anyway.
    const hostent* entry = gethostbyname(resolution.host.c_str());
    if (entry != nullptr && entry->h_addrtype == AF_INET && entry->h_addr_list[0] != nullptr) {
      std::memcpy(&resolution.address, entry->h_addr_list[0], sizeof resolution.address);
    } else {
      resolution.error = WSAGetLastError();
      if (resolution.error == 0) resolution.error = WSAHOST_NOT_FOUND;
    }
    resolution.done = true;
  }
  // Does not return: nothing may be left to destroy.
  if (module != nullptr) FreeLibraryAndExitThread(module, 0);
  return 0;
}

// Null (with the system's error set) when no thread could be started.
std::shared_ptr<SyslogResolution> StartResolution(const std::string& host) {
  auto resolution = std::make_shared<SyslogResolution>();
  resolution->host = host;
  auto start = std::make_unique<ResolverStart>(ResolverStart{resolution, ReferenceLibraryModule()});
  const UniqueHandle thread(CreateThread(nullptr, 0, ResolveHost, start.get(), 0, nullptr));
  if (!thread) {
    const DWORD error = GetLastError();
    if (start->module != nullptr) FreeLibrary(start->module);
    SetLastError(error);
    return nullptr;
  }
  start.release();
  return resolution;
}

}  // namespace

std::vector<SyslogTarget> ParseSyslogHosts(const std::string& hostList) {
  std::vector<SyslogTarget> targets;
  for (const std::string& item : fts::Split(hostList.substr(0, kSyslogHostListLimit), ',')) {
    // An empty item names no server (an empty host would resolve to this machine).
    if (!item.empty()) targets.push_back(ParseItem(item));
  }
  return targets;
}

void SyslogOutput::Start(const std::string& hostList) {
  if (IsStarted() || hostList.empty() || !winsock_.Start()) return;
  char name[kHostNameBytes] = {};
  if (gethostname(name, static_cast<int>(kHostNameBytes - 1)) != 0 || name[0] == '\0') {
    std::strcpy(name, "LocalHost");
  }
  hostName_ = name;
  targets_ = ParseSyslogHosts(hostList);
}

void SyslogOutput::Stop() {
  if (!IsStarted()) return;
  for (SyslogTarget& target : targets_) {
    target.lastError = 0;
    target.socket.Close();
    target.state = SyslogTarget::kNotConnected;
    target.connecting = false;
    target.resolution.reset();
    target.unsent.clear();
  }
  winsock_.Release();
}

void SyslogOutput::Connect() {
  // Without WinSock every attempt would only fail.
  if (!IsStarted()) return;
  for (SyslogTarget& target : targets_) {
    if (target.state == SyslogTarget::kConnected) continue;
    if (target.connecting) {
      FinishConnect(target, false);
    } else if (static_cast<int32_t>(GetTickCount() - target.nextAttemptTick) >= 0 && Resolve(target)) {
      BeginConnect(target);
    }
  }
}

bool SyslogOutput::Resolve(SyslogTarget& target) {
  if (target.resolved) return true;
  target.address.sin_addr.s_addr = inet_addr(target.host.c_str());
  if (target.address.sin_addr.s_addr != INADDR_NONE) {
    target.resolved = true;
    return true;
  }
  if (target.resolution == nullptr) {
    target.resolution = StartResolution(target.host);
    if (target.resolution == nullptr) {
      OpenFailed(target, static_cast<int32_t>(GetLastError()));
      ScheduleRetry(target, false);
    }
    return false;
  }
  if (!target.resolution->done.load()) return false;
  const std::shared_ptr<SyslogResolution> answer = std::move(target.resolution);
  if (answer->error != 0) {
    OpenFailed(target, answer->error);
    ScheduleRetry(target, false);
    return false;
  }
  target.address.sin_addr = answer->address;
  target.resolved = true;
  return true;
}

void SyslogOutput::OpenFailed(SyslogTarget& target, int32_t error) {
  if (error == target.lastError) return;
  target.lastError = error;
  const std::wstring host = NarrowToWide(target.host.substr(0, kReportedHostLimit));
  report_(DiagEvent(L"Error_connecting_to_Syslog", error, L"Error connecting to " + host));
}

void SyslogOutput::BeginConnect(SyslogTarget& target) {
  target.socket = UniqueSocket(socket(AF_INET, target.type, target.protocol));
  u_long nonBlocking = 1;
  if (!target.socket.IsValid() || ioctlsocket(target.socket.Get(), FIONBIO, &nonBlocking) != 0) {
    OpenFailed(target, WSAGetLastError());
    target.socket.Close();
    ScheduleRetry(target, false);
    return;
  }
  target.stateTick = GetTickCount();
  if (connect(target.socket.Get(), reinterpret_cast<const sockaddr*>(&target.address), sizeof target.address) == 0) {
    target.connecting = true;
    FinishConnect(target, false);
    return;
  }
  const int32_t error = WSAGetLastError();
  if (error != WSAEWOULDBLOCK) {
    ConnectFailed(target, error);
    return;
  }
  target.connecting = true;
}

void SyslogOutput::FinishConnect(SyslogTarget& target, bool wait) {
  // Writability tells a connect made; a failed one leaves its error in
  // SO_ERROR. (No exception set: Wine's select with one disturbed other
  // handles of the process here.)
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(target.socket.Get(), &writable);
  const DWORD spent = GetTickCount() - target.stateTick;
  const DWORD left = wait && spent < timings_.connect ? timings_.connect - spent : 0;
  timeval bound = {static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
  const int ready = select(0, nullptr, &writable, nullptr, &bound);
  if (ready == SOCKET_ERROR) {
    ConnectFailed(target, WSAGetLastError());
    return;
  }
  int error = 0;
  int size = sizeof error;
  getsockopt(target.socket.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
  if (error != 0) {
    ConnectFailed(target, error);
    return;
  }
  if (ready == 0) {
    if (GetTickCount() - target.stateTick >= timings_.connect) ConnectFailed(target, WSAETIMEDOUT);
    return;
  }
  report_(DiagEvent(L"Syslog_connected", 0, L"Connected to " + DottedAddress(target.address)));
  target.lastError = 0;
  target.state = SyslogTarget::kConnected;
  target.connecting = false;
  target.stateTick = GetTickCount();
  target.unsent.clear();
}

void SyslogOutput::ConnectFailed(SyslogTarget& target, int32_t error) {
  // Only the first failure is told; later ones are retries of the same.
  if (target.state == SyslogTarget::kNeverAttempted) {
    report_(DiagEvent(L"Syslog_disconnected", error, L"Connect failed to " + DottedAddress(target.address)));
  }
  target.lastError = error;
  target.socket.Close();
  target.state = SyslogTarget::kNotConnected;
  target.connecting = false;
  ScheduleRetry(target, false);
}

void SyslogOutput::ConnectionLost(SyslogTarget& target, int32_t error) {
  report_(DiagEvent(L"Syslog_disconnected", error, L"Connection lost to " + DottedAddress(target.address)));
  target.lastError = error;
  target.socket.Close();
  target.state = SyslogTarget::kNotConnected;
  target.unsent.clear();
  ScheduleRetry(target, true);
}

void SyslogOutput::ScheduleRetry(SyslogTarget& target, bool wasConnected) {
  const DWORD now = GetTickCount();
  // A connection that served as long as the longest delay starts afresh.
  const bool served = wasConnected && now - target.stateTick >= timings_.lastRetry;
  if (target.retryDelay == 0 || served) {
    target.retryDelay = timings_.firstRetry;
  } else {
    target.retryDelay = target.retryDelay > timings_.lastRetry / 2 ? timings_.lastRetry : target.retryDelay * 2;
  }
  target.nextAttemptTick = now + target.retryDelay;
  // A name may point elsewhere by the next attempt.
  target.resolved = false;
}

void SyslogOutput::Send(const SyslogFields& fields, int32_t outputLevel, bool waitForRoom) {
  if (fields.level > outputLevel && fields.level != kAlwaysLoggedLevel) return;
  const std::wstring message = FormatSyslogMessage(fields, hostName_.c_str(), sequence_);
  sequence_ = sequence_ >= 9999 ? 0 : sequence_ + 1;
  std::string bytes;
  bool converted = false;
  for (SyslogTarget& target : targets_) {
    // A connect begun on the last pass is finished first; with waitForRoom
    // it is waited for, within its bound, as a full buffer would be.
    if (target.connecting) FinishConnect(target, waitForRoom);
    if (!target.socket.IsValid() || target.state != SyslogTarget::kConnected) continue;
    if (!converted && !ToAnsi(message, bytes)) return;
    converted = true;
    SendBytes(target, bytes, waitForRoom);
  }
}

void SyslogOutput::SendBytes(SyslogTarget& target, const std::string& bytes, bool waitForRoom) {
  if (!target.unsent.empty()) {
    const std::string tail = std::move(target.unsent);
    target.unsent.clear();
    // While the buffer stays full, new messages are dropped for this server.
    if (!Transmit(target, tail, true, waitForRoom) || !target.unsent.empty()) return;
  }
  Transmit(target, bytes, false, waitForRoom);
}

bool SyslogOutput::Transmit(SyslogTarget& target, const std::string& bytes, bool isTail, bool waitForRoom) {
  const DWORD start = GetTickCount();
  size_t offset = 0;
  while (offset < bytes.size()) {
    const int sent = send(target.socket.Get(), bytes.data() + offset, static_cast<int>(bytes.size() - offset), 0);
    if (sent > 0) {
      offset += static_cast<size_t>(sent);
      continue;
    }
    const int32_t error = WSAGetLastError();
    target.lastError = error;
    if (error != WSAEWOULDBLOCK) {
      ConnectionLost(target, error);
      return false;
    }
    if (waitForRoom) {
      const DWORD spent = GetTickCount() - start;
      if (spent < timings_.send && WaitForRoom(target.socket.Get(), timings_.send - spent)) continue;
      // A server that takes nothing for that long is given up on for a while.
      ConnectionLost(target, WSAETIMEDOUT);
      return false;
    }
    // A full buffer: a message not begun is lost for this server; one begun
    // is finished before the next, so that no line arrives broken.
    if (isTail || offset > 0) target.unsent = bytes.substr(offset);
    return true;
  }
  return true;
}
