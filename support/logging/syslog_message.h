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
std::wstring FormatSyslogMessage(const SyslogFields& fields, const char* hostName, uint32_t sequence);
