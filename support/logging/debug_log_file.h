#pragma once
// The debug log file: one text line per entry in ASCII, UTF-8 or UTF-16LE
// (a UTF file starts with a byte-order mark and a line naming its encoding),
// kept within a size limit by wrapping to its start or by rolling to a new
// numbered file, ended with a marker when size-limited. An existing file is
// continued only when its header matches the configured encoding. Used only
// on the logger thread.

#include <cstdint>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>

#include <windows.h>

#include "support/logging/debug_logger_config.h"

class DebugLogger;
struct LogFileNaming;

class DebugLogFile {
 public:
  // File detection results besides the encodings 0..2.
  static constexpr int32_t kUnknownEncoding = -2;
  static constexpr int32_t kEmptyFile = -1;

  // While it lives (and `introduces` is set), the lines written belong to
  // the open file's introduction, which the size limit does not count.
  class Introduction {
   public:
    Introduction(DebugLogFile& file, bool introduces) : file_(file), previous_(file.introducing_) {
      file_.introducing_ = introduces || previous_;
    }
    ~Introduction() { file_.introducing_ = previous_; }
    Introduction(const Introduction&) = delete;
    Introduction& operator=(const Introduction&) = delete;

   private:
    DebugLogFile& file_;
    const bool previous_;
  };

  DebugLogFile(DebugLogger& logger, DebugLoggerSettings& settings);
  DebugLogFile(const DebugLogFile&) = delete;
  DebugLogFile& operator=(const DebugLogFile&) = delete;

  // True also when file output is disabled or no path is configured. When
  // no usable path can be made, one message says so and file output stops
  // until the configured names change.
  bool Open();
  // Writes the end marker when size-limited; always true.
  bool Close();
  // Close and Open, then tells the listener; with file output enabled the
  // result is whether a file is open.
  bool Reopen();
  // False when the line could not be written or the size handling failed.
  bool WriteEntry(const SYSTEMTIME& time, DWORD threadId, int32_t level, const wchar_t* text, uint32_t eventId,
                  const wchar_t* userTag);

  bool IsOpen() const { return stream_ != nullptr && stream_->is_open(); }
  bool IsFailed() const { return stream_ != nullptr && stream_->fail(); }
  const std::tm& GetFileDate() const { return fileDate_; }
  void SetFileDateToday();

  // Creates the missing folders of `path` and the file itself, empty.
  // 0 on success, -1 on failure with errno telling why.
  static int32_t EnsureFileExists(const std::wstring& path);

 private:
  LogFileNaming Naming() const;
  // Positions the open file for writing and writes its introduction: the
  // date, the thread report, and the environment report queued.
  bool Introduce(const std::wstring& path, bool wasEmpty);
  std::wstring ConfiguredNames() const;
  void StopFileOutput(const wchar_t* what, const std::wstring& path);
  int64_t HeaderBytes() const;
  // The position after the write, -1 on failure.
  int64_t WriteLine(const SYSTEMTIME& time, DWORD threadId, int32_t level, const wchar_t* text, uint32_t eventId,
                    const wchar_t* userTag);
  // Writes and flushes; keeps the write position up to date.
  bool WriteText(const std::wstring& line);
  bool SeekWrite(int64_t position);
  bool WriteEncodingHeader();
  int32_t DetectFileEncoding();
  // Byte offset of the first end marker of the file, -1 when there is none.
  int64_t FindEndMarker(const std::wstring& path) const;
  void WriteThreadReport();
  // Reports a file error once per distinct errno.
  void ReportFileError(const wchar_t* what, const std::wstring& path = std::wstring());
  // The stream, made on first use.
  std::wfstream& Stream();

  DebugLogger& logger_;
  DebugLoggerSettings& settings_;
  // Made when first needed, not while the module loads: a file stream's
  // locale sets up the thread library's state for the loading thread, which
  // every unload of a module with its own C++ runtime leaves behind.
  std::unique_ptr<std::wfstream> stream_;
  wchar_t streamBuffer_[4096];
  std::tm fileDate_ = {};
  // Byte offset of the stream's write position.
  int64_t position_ = 0;
  int lastReportedErrno_ = 0;
  // The open file's encoding did not match, or its header failed.
  bool newFileRequired_ = false;
  // The lines that introduce a file never roll or wrap it, and the limit
  // counts the bytes beyond them and the header: with a limit below their
  // size every open would otherwise open the next file.
  bool introducing_ = false;
  int64_t uncountedBytes_ = 0;
  // The configured names file output stopped for; empty while it runs.
  std::wstring stoppedFor_;
};
