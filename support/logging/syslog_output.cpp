// inet_addr and gethostbyname are the resolution WinSock 1.1 offers.
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#include "support/logging/syslog_output.h"

#include <cstdio>
#include <cctype>
#include <cstring>

#include "support/fs/code_page.h"
#include "support/fs/text_utils.h"
#include "support/logging/debug_logger.h"

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
    target.unsent.clear();
  }
  winsock_.Release();
}

void SyslogOutput::Connect(bool blocking) {
  // Without WinSock every attempt would only fail.
  if (!IsStarted()) return;
  for (SyslogTarget& target : targets_) {
    if (!target.socket.IsValid() && !OpenSocket(target)) continue;
    if (target.state < SyslogTarget::kConnected) ConnectSocket(target, blocking);
  }
}

bool SyslogOutput::OpenSocket(SyslogTarget& target) {
  bool resolved = true;
  target.address.sin_addr.s_addr = inet_addr(target.host.c_str());
  if (target.address.sin_addr.s_addr == INADDR_NONE) {
    const hostent* entry = gethostbyname(target.host.c_str());
    resolved = entry != nullptr && entry->h_addrtype == AF_INET && entry->h_addr_list[0] != nullptr;
    if (resolved) std::memcpy(&target.address.sin_addr, entry->h_addr_list[0], sizeof target.address.sin_addr);
  }
  if (resolved) target.socket = UniqueSocket(socket(AF_INET, target.type, target.protocol));
  if (target.socket.IsValid()) return true;
  const int32_t error = WSAGetLastError();
  if (error != target.lastError) {
    target.lastError = error;
    const std::wstring host = NarrowToWide(target.host.substr(0, kReportedHostLimit));
    report_(DiagEvent(L"Error_connecting_to_Syslog", error, L"Error connecting to " + host));
  }
  return false;
}

void SyslogOutput::ConnectSocket(SyslogTarget& target, bool blocking) {
  if (connect(target.socket.Get(), reinterpret_cast<const sockaddr*>(&target.address), sizeof target.address) != 0) {
    const int32_t error = WSAGetLastError();
    // Only the first failure is told; later ones are retries of the same.
    if (target.state == SyslogTarget::kNeverAttempted) {
      report_(DiagEvent(L"Syslog_disconnected", error, L"Connect failed to " + DottedAddress(target.address)));
    }
    target.lastError = error;
    target.socket.Close();
    target.state = SyslogTarget::kNotConnected;
    return;
  }
  report_(DiagEvent(L"Syslog_connected", 0, L"Connected to " + DottedAddress(target.address)));
  target.lastError = 0;
  target.state = SyslogTarget::kConnected;
  target.unsent.clear();
  if (!blocking) {
    u_long nonBlocking = 1;
    ioctlsocket(target.socket.Get(), FIONBIO, &nonBlocking);
  }
}

void SyslogOutput::Send(const SyslogFields& fields, int32_t outputLevel) {
  if (fields.level > outputLevel && fields.level != kAlwaysLoggedLevel) return;
  const std::wstring message = FormatSyslogMessage(fields, hostName_.c_str(), sequence_);
  sequence_ = sequence_ >= 9999 ? 0 : sequence_ + 1;
  std::string bytes;
  bool converted = false;
  for (SyslogTarget& target : targets_) {
    if (!target.socket.IsValid() || target.state != SyslogTarget::kConnected) continue;
    if (!converted && !ToAnsi(message, bytes)) return;
    converted = true;
    SendBytes(target, bytes);
  }
}

void SyslogOutput::SendBytes(SyslogTarget& target, const std::string& bytes) {
  if (!target.unsent.empty()) {
    const std::string tail = std::move(target.unsent);
    target.unsent.clear();
    // While the buffer stays full, new messages are dropped for this server.
    if (!Transmit(target, tail, true) || !target.unsent.empty()) return;
  }
  Transmit(target, bytes, false);
}

bool SyslogOutput::Transmit(SyslogTarget& target, const std::string& bytes, bool isTail) {
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
      report_(DiagEvent(L"Syslog_disconnected", error, L"Connection lost to " + DottedAddress(target.address)));
      target.socket.Close();
      target.state = SyslogTarget::kNotConnected;
      target.unsent.clear();
      return false;
    }
    // A full buffer: a message not begun is lost for this server; one begun
    // is finished before the next, so that no line arrives broken.
    if (isTail || offset > 0) target.unsent = bytes.substr(offset);
    return true;
  }
  return true;
}
