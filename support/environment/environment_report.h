#pragma once
// The "[ENV] " lines that describe the process and the machine: process and
// account, host and system version, processor, memory, disk, up time, time
// zone, addresses, Winsock providers, XML parser, SQL Server providers, data
// access components and running processes. Each source that cannot be read
// gives an error line or nothing; the report always goes on.

#include <cstdint>
#include <string>

#include "support/log_callback.h"
#include "support/logging/debug_log.h"

class ReportEnvironment {
 public:
  // The sink is LogReportLine; the start time is now.
  ReportEnvironment();
  virtual ~ReportEnvironment() = default;

  void SetSink(LogCallback sink) { sink_ = sink; }

  // The whole report in its fixed order.
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
  // they cannot be read.
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
  template <typename... Args>
  void Line(int32_t level, const char* function, int32_t line, const wchar_t* format, Args... args) const;

  void ReportHostAndVersion() const;
  void ReportTcpIpProvider() const;
  void ReportAddresses() const;
  void ReportWinsockProviders() const;
  void ReportXmlParser() const;
  void ReportSqlProviders() const;
  void ReportDataAccess() const;
  void ReportDisk() const;
  void ReportUpTime() const;
  void ReportTimeZone() const;

  LogCallback sink_;
  int64_t startTime_;
};
