#pragma once
// The text of one syslog message: a priority prefix, optionally a time stamp,
// the local host name and the source name (or the source name alone), then
// the logger's thread, sequence and code fields, the user tag and the text,
// at most 509 characters, ended by a line feed.

#include <cstdint>
#include <string>

#include <windows.h>

// Characters of a message before its line feed.
constexpr size_t kSyslogMessageLimit = 509;
// Bytes of a message in the system's ANSI code page, line feed included.
constexpr size_t kSyslogMessageBytes = 1023;

struct SyslogFields {
  SYSTEMTIME time;
  DWORD threadId;
  int32_t level;
  uint32_t eventId;
  // Narrow texts in the thread's ANSI code page; a null tag means none.
  const char* text;
  const char* userTag;
  uint32_t facility;
  bool header;
  const wchar_t* sourceName;
};

// `hostName` is narrow like the texts; `sequence` is printed with four digits.
// The message is cut at a character so that it fits both limits.
std::wstring FormatSyslogMessage(const SyslogFields& fields, const char* hostName, uint32_t sequence);

// Cuts `text` after its last whole character whose form in `codePage` ends
// within `maxBytes` bytes (a UTF-8 code page takes up to three bytes per
// character, so 509 characters can exceed 1023 bytes).
void CutToEncodedBytes(std::wstring& text, size_t maxBytes, UINT codePage);
