#pragma once
// The "[ENV] " lines that describe the process and the machine: process and
// account, host and system version, processor, memory, disk, up time, time
// zone, addresses, Winsock providers, XML parser, SQL Server providers, data
// access components and running processes. Each source that cannot be read
// gives an error line or nothing; the report always goes on.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/fs/critical_section_lock.h"
#include "support/log_callback.h"
#include "support/logging/debug_log.h"

class ReportEnvironment {
 public:
  // The sink is LogReportLine; the start time is now.
  ReportEnvironment();
  virtual ~ReportEnvironment() = default;

  void SetSink(LogCallback sink) { sink_ = sink; }

  // The whole report in its fixed order. What cannot change while the
  // process lives (executable, account, host, system version, processor,
  // network and data-access components) is gathered by the first call and
  // repeated by later ones; memory, disk, up time, time zone and processes
  // are read every time.
  void ReportEnvironmentVersions();
  void ReportSystemInfo();
  void ReportSystemMemoryInfo() { ReportMemory(sink_); }
  // For callers without an object: the memory lines through `sink`.
  static void ReportMemory(LogCallback sink = &LogReportLine);
  void ReportCurrentProcesses();
  void ReportCurrentProcessesNT();

  // The executable's path and the account "DOMAIN\user" the process runs as.
  bool GetServiceInfo(std::wstring* path, std::wstring* account);
  // Seconds since the system started, from the performance data; -1 when
  // they cannot be read. (That query loads every counter library of the
  // machine and can wait seconds on services: the report makes it once.)
  static int64_t GetUpTimeSecs(LogCallback sink);
  // Calendar time of the system's start; 0 when the up time is unknown.
  int64_t GetBootTime();
  // The executable of an installed service (up to and including ".exe") and
  // its file version.
  static bool GetServiceFileVersion(const wchar_t* service, std::wstring* path, uint32_t version[4]);
  // Without spaces and tabs at both ends.
  static std::wstring StripBlanks(const std::wstring& text);

  // "%d days %02d hrs %02d mins %02d secs" of an up time.
  static std::wstring FormatUpTime(int64_t seconds);
  // "NAME (GMT+hh:mm)" for a zone `secondsWest` of UTC.
  static std::wstring FormatTimeZone(const std::wstring& name, long secondsWest);

 private:
  struct RecordedLine {
    int32_t level;
    std::string function;
    int32_t line;
    std::wstring text;
  };
  // The lines of the parts that do not change, from the first report.
  struct FixedParts {
    std::vector<RecordedLine> process;
    std::wstring account;
    std::vector<RecordedLine> machine;
    bool processorKnown = false;
    std::vector<RecordedLine> components;
  };
  // Records every line sent while it lives into `lines`.
  class Recording;

  template <typename... Args>
  void Line(int32_t level, const char* function, int32_t line, const wchar_t* format, Args... args) const;
  void Replay(const std::vector<RecordedLine>& lines) const;
  // False (after its error line) when the processor's key does not open.
  bool ReportProcessor() const;
  void ReportSystemState();

  void ReportHostAndVersion() const;
  void ReportTcpIpProvider() const;
  void ReportAddresses() const;
  void ReportWinsockProviders() const;
  void ReportXmlParser() const;
  void ReportSqlProviders() const;
  void ReportDataAccess() const;
  void ReportDisk() const;
  void ReportUpTime();
  void ReportTimeZone() const;

  LogCallback sink_;
  int64_t startTime_;
  // The kept parts below are shared by the logger thread and any thread
  // that asks for a report.
  CriticalSectionLock keptLock_;
  std::unique_ptr<FixedParts> fixed_;
  std::vector<RecordedLine>* recording_ = nullptr;
  // The up time read once, and the tick count then; unknown below 1.
  int64_t upTimeSeconds_ = 0;
  uint64_t upTimeTick_ = 0;
  bool upTimeRead_ = false;
};
