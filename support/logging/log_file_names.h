#pragma once
// Names of the debug log files: the plain scheme (the configured path with
// instance, date and roll number inserted before its extension) and the
// log-root scheme (folder, optional day folder, prefix, computer, ident,
// instance, date, four-digit number), with the age-limited deletion of old
// files. Only names that match this logger's own patterns are ever deleted.

#include <cstdint>
#include <ctime>
#include <string>

struct LogFileNaming {
  std::wstring logFile;       // plain scheme: the pattern path
  std::wstring logFolder;     // log-root scheme: the folder
  std::wstring filePrefix;
  std::wstring fileIdent;
  std::wstring computerName;  // upper case, see LogComputerName
  int32_t instanceNumber = 0;
  int32_t fileAgeLimitDays = 0;
  bool dailyFile = false;
  bool dailyFolder = false;
  bool autoRoll = false;
  bool logRootNaming = false;
};

// The platform's path limit without the terminator: a longer path is never
// cut (a cut could drop the roll number) but refused by the file's open.
constexpr size_t kLogPathMaxChars = 259;

// The DNS host name in upper case, empty when the platform has none.
std::wstring LogComputerName();

// The path to open for `date` (only day, month and year are used). Runs the
// clean-up of expired files first when daily files have an age limit.
// `newFileRequired` asks for a number above every existing file's. Numbers
// grow past their printed width (trace_1000.log follows trace_999.log) up
// to nine digits; empty when a new number is needed and none is left.
std::wstring ChooseLogFilePath(const LogFileNaming& naming, const std::tm& date, bool newFileRequired);

std::wstring BuildLogRootFileName(const LogFileNaming& naming, const std::tm& date, int32_t number);
// Largest four-digit number among the log-root files of `date`; 0 for none.
int32_t FindHighestFileNumber(const LogFileNaming& naming, const std::tm& date);
// Deletes log-root files older than the age limit counted back from the
// local midnight that starts `date`, and day folders left empty by it.
void DeleteOldLogRootFiles(const LogFileNaming& naming, const std::tm& date);
