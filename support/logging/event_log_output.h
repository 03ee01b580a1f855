#pragma once
// The logger's Windows application event log output: the event source's
// registration (with its EventLog\Application key naming the message
// module) and one report per entry.

#include <cstdint>
#include <string>

#include <windows.h>

// Default event ids by level: facility 0xFFF, customer bit, the severity of
// the event type and the code level x 10000.
constexpr uint32_t kEventIdError = 0xEFFF2710;
constexpr uint32_t kEventIdWarning = 0xAFFF4E20;
constexpr uint32_t kEventIdInformation = 0x6FFF7530;
constexpr uint32_t kEventIdAlways = 0x6FFFC350;

class EventLogOutput {
 public:
  EventLogOutput() = default;
  ~EventLogOutput() { Close(); }
  EventLogOutput(const EventLogOutput&) = delete;
  EventLogOutput& operator=(const EventLogOutput&) = delete;

  // Registers `sourceName` (after writing its key) unless already open or
  // the name is empty. An empty message module names the main module.
  void Open(const std::wstring& sourceName, const std::wstring& messageModule);
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }
  // Reports one text with the type and default id of its level; an entry's
  // own non-zero id replaces the default. Levels 4, above 5 and below 0 are
  // not reported.
  void Report(int32_t level, const wchar_t* text, uint32_t eventId);

  // Writes SYSTEM\CurrentControlSet\Services\EventLog\Application\<source>
  // with TypesSupported 7 and EventMessageFile = the message module's path.
  static void WriteEventSourceKeys(const std::wstring& sourceName, const std::wstring& messageModule);

 private:
  HANDLE handle_ = nullptr;
};
