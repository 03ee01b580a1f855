#include "support/logging/syslog_message.h"

#include <cstdio>
#include <ctime>

#include "support/fs/code_page.h"

namespace {

std::wstring FromThreadCodePage(const char* text) { return NarrowToWide(text, CP_THREAD_ACP); }

// "Dec 09 12:18:08", the month named by the run time's current locale.
std::wstring TimeStamp(const SYSTEMTIME& time) {
  std::tm parts = {};
  parts.tm_year = time.wYear - 1900;
  parts.tm_mon = time.wMonth - 1;
  parts.tm_mday = time.wDay;
  parts.tm_hour = time.wHour;
  parts.tm_min = time.wMinute;
  parts.tm_sec = time.wSecond;
  parts.tm_wday = time.wDayOfWeek;
  char stamp[64] = {};
  std::strftime(stamp, sizeof stamp, "%b %d %H:%M:%S", &parts);
  return FromThreadCodePage(stamp);
}

size_t EncodedBytes(const std::wstring& text, size_t units, UINT codePage) {
  if (units == 0) return 0;
  const int bytes =
      WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(units), nullptr, 0, nullptr, nullptr);
  return bytes > 0 ? static_cast<size_t>(bytes) : 0;
}

}  // namespace

void CutToEncodedBytes(std::wstring& text, size_t maxBytes, UINT codePage) {
  if (EncodedBytes(text, text.size(), codePage) <= maxBytes) return;
  // The longest prefix that fits: `fits` does, `tooLong` does not.
  size_t fits = 0;
  size_t tooLong = text.size();
  while (tooLong - fits > 1) {
    const size_t middle = fits + (tooLong - fits) / 2;
    if (EncodedBytes(text, middle, codePage) <= maxBytes) {
      fits = middle;
    } else {
      tooLong = middle;
    }
  }
  // Never half of a surrogate pair.
  if (fits > 0 && IS_HIGH_SURROGATE(text[fits - 1])) --fits;
  text.resize(fits);
}

std::wstring FormatSyslogMessage(const SyslogFields& fields, const char* hostName, uint32_t sequence) {
  const uint32_t priority = static_cast<uint32_t>(fields.level + 2) | (fields.facility * 8);
  const uint32_t code = fields.eventId != 0 ? (fields.eventId & 0xFFFF) : static_cast<uint32_t>(fields.level * 10000);
  wchar_t number[64];
  std::swprintf(number, 64, L"<%d>", static_cast<int>(priority));
  std::wstring message = number;
  if (fields.header) {
    message += TimeStamp(fields.time) + L" " + FromThreadCodePage(hostName) + L" ";
  } else {
    message += L" ";
  }
  message += fields.sourceName;
  std::swprintf(number, 64, L" {0x%lX} %04u: (#%05lu) ", static_cast<unsigned long>(fields.threadId), sequence,
                static_cast<unsigned long>(code));
  message += number;
  if (fields.userTag != nullptr) message += L"{" + FromThreadCodePage(fields.userTag) + L"} ";
  message += FromThreadCodePage(fields.text);
  if (message.size() > kSyslogMessageLimit) message.resize(kSyslogMessageLimit);
  if (IS_HIGH_SURROGATE(message.back())) message.pop_back();
  CutToEncodedBytes(message, kSyslogMessageBytes - 1, CP_ACP);
  message += L'\n';
  return message;
}
