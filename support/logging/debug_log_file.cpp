#include "support/logging/debug_log_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <direct.h>
#include <locale>
#include <vector>

#include "support/fs/code_page.h"
#include "support/logging/debug_log.h"
#include "support/logging/debug_logger.h"
#include "support/logging/log_file_names.h"
#include "support/logging/stream_facets.h"
#include "support/logging/thread_names.h"

namespace {

constexpr wchar_t kEndMarker[] = L"====== END OF LOG ======";
constexpr size_t kEndMarkerChars = sizeof kEndMarker / sizeof kEndMarker[0] - 1;
constexpr wchar_t kByteOrderMark = 0xFEFF;
constexpr uint32_t kFileErrorEventId = 0xEFFF2710;
constexpr int32_t kInformationLevel = 3;
constexpr size_t kLineUnits = 1024;  // at most 1023 characters
// Files one open tries (one more after each of another encoding) before
// file output stops.
constexpr int kOpenAttempts = 3;

StreamCodeCvtFacet* NewFacet(int32_t encoding) {
  switch (encoding) {
    case kEncodingUtf8:
      return new UTF8StreamCodeCvtFacet;
    case kEncodingUtf16LE:
      return new UTF16LEStreamCodeCvtFacet;
    default:
      return new ByteStreamCodeCvtFacet;
  }
}

// The platform's local date, the clock of the entry lines: the C run time's
// zone follows the TZ variable, which may disagree with it.
std::tm Today() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::tm today = {};
  today.tm_year = now.wYear - 1900;
  today.tm_mon = now.wMonth - 1;
  today.tm_mday = now.wDay;
  today.tm_wday = now.wDayOfWeek;
  return today;
}

// The byte-order mark and the line naming the encoding; none for ASCII.
std::wstring HeaderLine(int32_t encoding) {
  if (encoding == kEncodingAscii) return std::wstring();
  return std::wstring(1, kByteOrderMark) + (encoding == kEncodingUtf8 ? L"UTF-8" : L"UTF-16LE") + L" encoded\r\n";
}

// One entry line, at most 1023 characters, always ending in CR LF.
std::wstring FormatLine(const SYSTEMTIME& time, DWORD threadId, int32_t level, const wchar_t* text, uint32_t eventId,
                        const wchar_t* userTag) {
  wchar_t line[kLineUnits];
  const unsigned long code = eventId != 0 ? (eventId & 0xFFFF) : static_cast<unsigned long>(level) * 10000;
  const bool tagged = userTag != nullptr && *userTag != L'\0';
  const int written =
      tagged ? _snwprintf(line, kLineUnits - 1, L"[%05lu] (%02d/%02d %02d:%02d:%02d.%03d):{0x%X} {%s} %s\r\n", code,
                          time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds,
                          threadId, userTag, text)
             : _snwprintf(line, kLineUnits - 1, L"[%05lu] (%02d/%02d %02d:%02d:%02d.%03d):{0x%X} %s\r\n", code,
                          time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds,
                          threadId, text);
  if (written >= 0) return std::wstring(line, static_cast<size_t>(written));
  // Cut: the line still ends.
  return std::wstring(line, kLineUnits - 1) + L"\r\n";
}

// The pieces of a text split at CR LF pairs, each without trailing white
// space; the CR and LF characters after a piece are skipped.
std::vector<std::wstring> SplitPieces(const std::wstring& text) {
  std::vector<std::wstring> pieces;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(L"\r\n", start);
    std::wstring piece = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    piece.erase(piece.find_last_not_of(L" \t\r\n\f\v") + 1);
    pieces.push_back(piece);
    if (end == std::wstring::npos) return pieces;
    start = text.find_first_not_of(L"\r\n", end);
    if (start == std::wstring::npos) return pieces;
  }
}

// Bytes the line takes in the file: the stream's position moves by this
// much, so it is not asked for after every line.
int64_t EncodedSize(const std::wstring& line, int32_t encoding) {
  if (encoding == kEncodingUtf16LE) return static_cast<int64_t>(line.size()) * 2;
  if (encoding != kEncodingUtf8) return static_cast<int64_t>(line.size());
  int64_t bytes = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    const unsigned unit = static_cast<unsigned>(line[i]) & 0xFFFF;
    if (unit < 0x80) {
      bytes += 1;
    } else if (unit < 0x800) {
      bytes += 2;
    } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < line.size() && line[i + 1] >= 0xDC00 &&
               line[i + 1] <= 0xDFFF) {
      bytes += 4;
      ++i;
    } else {
      bytes += 3;
    }
  }
  return bytes;
}

bool IsUnicodeLine(const std::wstring& line) {
  if (line.size() <= 2) return true;
  return IsTextUnicode(line.data(), static_cast<int>(line.size() * sizeof(wchar_t)), nullptr) != FALSE;
}

}  // namespace

DebugLogFile::DebugLogFile(DebugLogger& logger, DebugLoggerSettings& settings)
    : logger_(logger), settings_(settings) {}

void DebugLogFile::SetFileDateToday() { fileDate_ = Today(); }

int32_t DebugLogFile::EnsureFileExists(const std::wstring& path) {
  size_t from = 0;
  if (path.compare(0, 2, L"\\\\") == 0) {
    // Folders of a UNC path start after the server name.
    from = path.find(L'\\', 2);
    if (from == std::wstring::npos) {
      errno = EINVAL;
      return -1;
    }
    ++from;
  }
  for (size_t separator = path.find(L'\\', from); separator != std::wstring::npos;
       separator = path.find(L'\\', separator + 1)) {
    const std::wstring folder = path.substr(0, separator);
    if (folder.empty() || folder.back() == L':' || GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) {
      continue;
    }
    if (_wmkdir(folder.c_str()) != 0 && errno != EEXIST) return -1;
  }
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return 0;
  FILE* file = _wfopen(path.c_str(), L"a");
  if (file == nullptr) return -1;
  std::fclose(file);
  return 0;
}

std::wfstream& DebugLogFile::Stream() {
  if (stream_ == nullptr) stream_ = std::make_unique<std::wfstream>();
  return *stream_;
}

LogFileNaming DebugLogFile::Naming() const {
  LogFileNaming naming;
  naming.logFile = settings_.logFile;
  naming.logFolder = settings_.logFolder;
  naming.filePrefix = settings_.filePrefix;
  naming.fileIdent = settings_.fileIdent;
  naming.computerName = LogComputerName();
  naming.instanceNumber = settings_.instanceNumber;
  naming.fileAgeLimitDays = settings_.fileAgeLimit;
  naming.dailyFile = settings_.dailyFile;
  naming.dailyFolder = settings_.dailyFolder;
  naming.autoRoll = settings_.autoRoll;
  naming.logRootNaming = settings_.logRootNaming;
  return naming;
}

bool DebugLogFile::Open() {
  if (!settings_.fileEnabled) return true;
  const int32_t encoding = settings_.EffectiveEncoding();
  if (IsOpen()) {
    const int32_t found = DetectFileEncoding();
    if (found == kEmptyFile) {
      if (!WriteEncodingHeader()) newFileRequired_ = true;
    } else if (found == encoding) {
      return true;
    } else {
      newFileRequired_ = true;
    }
    if (newFileRequired_) Stream().close();
  }
  if (IsOpen()) return true;
  if (settings_.logFile.empty()) return true;
  // Until the configured names change, nothing is retried.
  if (!stoppedFor_.empty() && stoppedFor_ == ConfiguredNames()) return false;
  SetFileDateToday();
  // A file of another encoding is passed over for a new number; that new
  // file is empty unless someone else keeps making files ahead of us.
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    const std::wstring path = ChooseLogFilePath(Naming(), fileDate_, newFileRequired_);
    newFileRequired_ = false;
    if (path.empty()) {
      StopFileOutput(L"[DIAG] No debug trace file number is left for %s: file output stopped", settings_.logFile);
      return false;
    }
    if (path.size() > kLogPathMaxChars) {
      StopFileOutput(L"[DIAG] Debug trace file path %s is too long: file output stopped", path);
      return false;
    }
    if (EnsureFileExists(path) != 0) {
      ReportFileError(L"[DIAG] Could not create debug trace file %s", path);
      return false;
    }
    Stream().imbue(std::locale(std::locale::classic(), NewFacet(encoding)));
    Stream().clear();
    Stream().rdbuf()->pubsetbuf(streamBuffer_, sizeof streamBuffer_ / sizeof streamBuffer_[0]);
    Stream().open(path.c_str(), std::ios::in | std::ios::out | std::ios::binary);
    if (!IsOpen()) {
      ReportFileError(L"[DIAG] Debug trace file %s was not open", path);
      return false;
    }
    Stream().clear();
    lastReportedErrno_ = 0;
    const int32_t found = DetectFileEncoding();
    if (found == kEmptyFile) {
      if (!WriteEncodingHeader()) return false;
    } else if (found != encoding) {
      if (Stream().fail()) return false;
      Stream().close();
      newFileRequired_ = true;
      if (attempt + 1 == kOpenAttempts) {
        StopFileOutput(L"[DIAG] No new debug trace file could be made after %s: file output stopped", path);
      }
      continue;
    }
    return Introduce(path, found == kEmptyFile);
  }
  return false;
}

bool DebugLogFile::Introduce(const std::wstring& path, bool wasEmpty) {
  Stream().seekp(0, std::ios::end);
  if (Stream().fail()) return false;
  position_ = static_cast<int64_t>(static_cast<std::streamoff>(Stream().tellp()));
  if (settings_.fileSizeLimit > 0 && !wasEmpty) {
    const int64_t marker = FindEndMarker(path);
    if (marker >= 0 && !SeekWrite(marker)) return false;
  }
  uncountedBytes_ = HeaderBytes();
  if (logger_.GetDebugLogLevel() >= kInformationLevel) {
    const Introduction introduction(*this, true);
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t date[32];
    _snwprintf(date, 32, L"Current Date: %04d/%02d/%02d", now.wYear, now.wMonth, now.wDay);
    if (WriteLine(now, GetCurrentThreadId(), kInformationLevel, date, 0, L"") < 0) return false;
    WriteThreadReport();
  }
  if (settings_.reportEnvironmentOnOpen && logger_.GetDebugLogLevel() >= kInformationLevel) {
    logger_.ReportEnvironment();
  }
  return true;
}

std::wstring DebugLogFile::ConfiguredNames() const { return settings_.logFile + L"|" + settings_.logFolder; }

void DebugLogFile::StopFileOutput(const wchar_t* what, const std::wstring& path) {
  stoppedFor_ = ConfiguredNames();
  wchar_t message[kLineUnits];
  _snwprintf(message, kLineUnits - 1, what, path.c_str());
  message[kLineUnits - 1] = L'\0';
  DebugLogId(1, kFileErrorEventId, L"%s", message);
}

int64_t DebugLogFile::HeaderBytes() const {
  const int32_t encoding = settings_.EffectiveEncoding();
  return EncodedSize(HeaderLine(encoding), encoding);
}

bool DebugLogFile::Close() {
  if (IsOpen()) {
    if (settings_.fileSizeLimit > 0) WriteText(std::wstring(kEndMarker) + L"\r\n");
    Stream().close();
  }
  return true;
}

bool DebugLogFile::Reopen() {
  if (!Close() || !Open()) return false;
  if (!settings_.fileEnabled) return true;
  if (IsOpen() && settings_.fileListener != nullptr) settings_.fileListener->OnLogFileOpened();
  return IsOpen();
}

bool DebugLogFile::WriteEntry(const SYSTEMTIME& time, DWORD threadId, int32_t level, const wchar_t* text,
                              uint32_t eventId, const wchar_t* userTag) {
  if (!settings_.fileEnabled) return true;
  if (level > logger_.GetDebugLogLevel() && level != kAlwaysLoggedLevel) return true;
  const int64_t position = WriteLine(time, threadId, level, text, eventId, userTag);
  if (position < 0) return false;
  if (settings_.fileSizeLimit <= 0 || introducing_ || position - uncountedBytes_ <= settings_.fileSizeLimit) {
    return true;
  }
  if (settings_.autoRoll) return Reopen();
  if (!SeekWrite(0)) return false;
  // The introduction is overwritten from here on.
  uncountedBytes_ = HeaderBytes();
  return WriteEncodingHeader();
}

int64_t DebugLogFile::WriteLine(const SYSTEMTIME& time, DWORD threadId, int32_t level, const wchar_t* text,
                                uint32_t eventId, const wchar_t* userTag) {
  if (!IsOpen()) {
    if (Stream().fail() || !Reopen()) return -1;
  }
  const std::wstring whole = text == nullptr ? std::wstring() : std::wstring(text);
  const std::vector<std::wstring> pieces = settings_.splitLines ? SplitPieces(whole) : std::vector<std::wstring>{whole};
  const int64_t start = position_;
  int64_t position = -1;
  for (const std::wstring& piece : pieces) {
    std::wstring line = FormatLine(time, threadId, level, piece.c_str(), eventId, userTag);
    Stream().clear();
    if (!IsUnicodeLine(line)) {
      line = L"[DIAG] Error writing the debug trace line - non-UNICODE characters encountered\r\n";
    }
    if (settings_.EffectiveEncoding() == kEncodingAscii) {
      for (wchar_t& unit : line) {
        if (unit >= 0x80) unit = L'?';
      }
    }
    if (!WriteText(line)) return -1;
    position = position_;
  }
  if (introducing_) uncountedBytes_ += position - start;
  lastReportedErrno_ = 0;
  return position;
}

bool DebugLogFile::WriteText(const std::wstring& text) {
  Stream().write(text.data(), static_cast<std::streamsize>(text.size()));
  Stream().flush();
  if (Stream().fail()) {
    // Where a failed write left the file is not known: ask the stream.
    Stream().clear();
    position_ = static_cast<int64_t>(static_cast<std::streamoff>(Stream().tellp()));
    Stream().setstate(std::ios::failbit);
    return false;
  }
  position_ += EncodedSize(text, settings_.EffectiveEncoding());
  return true;
}

bool DebugLogFile::SeekWrite(int64_t position) {
  Stream().seekp(std::streampos(static_cast<std::streamoff>(position)));
  if (Stream().fail()) return false;
  position_ = position;
  return true;
}

bool DebugLogFile::WriteEncodingHeader() {
  const int32_t encoding = settings_.EffectiveEncoding();
  if (encoding == kEncodingAscii) return true;
  if (!IsOpen()) return false;
  if (!WriteText(HeaderLine(encoding))) {
    ReportFileError(L"[DIAG] Error during writing the debug file header");
    return false;
  }
  return true;
}

int32_t DebugLogFile::DetectFileEncoding() {
  Stream().seekg(0, std::ios::end);
  const std::streampos end = Stream().tellg();
  if (Stream().fail() || end == std::streampos(-1)) return kUnknownEncoding;
  if (end == std::streampos(0)) return kEmptyFile;
  Stream().seekg(0);
  if (Stream().fail()) return kUnknownEncoding;
  wchar_t units[15] = {};
  Stream().read(units, 15);
  const std::streamsize count = Stream().gcount();
  const bool failed = Stream().bad() || count == 0;
  Stream().clear();
  if (failed) return kUnknownEncoding;
  if (units[0] == kByteOrderMark) {
    const std::wstring name(units + 1, static_cast<size_t>(count - 1));
    if (name.compare(0, 5, L"UTF-8") == 0) return kEncodingUtf8;
    if (name.compare(0, 8, L"UTF-16BE") == 0 || name.compare(0, 8, L"UTF-16LE") == 0) return kEncodingUtf16LE;
    return kUnknownEncoding;
  }
  // A UTF-16 byte-order mark read one byte per unit.
  if (count >= 2 && units[0] == 0xFF && units[1] == 0xFE) return kUnknownEncoding;
  return kEncodingAscii;
}

int64_t DebugLogFile::FindEndMarker(const std::wstring& path) const {
  std::ifstream reader;
  reader.open(path.c_str(), std::ios::in | std::ios::binary);
  if (!reader.is_open()) return -1;
  const bool wide = settings_.EffectiveEncoding() == kEncodingUtf16LE;
  std::string marker;
  for (size_t i = 0; i < kEndMarkerChars; ++i) {
    marker += static_cast<char>(kEndMarker[i]);
    if (wide) marker += '\0';
  }
  constexpr std::streamoff kChunk = 8190;
  const std::streamoff overlap = static_cast<std::streamoff>(marker.size()) - 1;
  std::vector<char> chunk(kChunk);
  std::streamoff start = 0;
  while (true) {
    reader.clear();
    reader.seekg(start);
    reader.read(chunk.data(), kChunk);
    const std::streamsize got = reader.gcount();
    if (got <= 0) return -1;
    const std::string text(chunk.data(), static_cast<size_t>(got));
    // UTF-16 text is matched at even offsets only.
    for (size_t found = text.find(marker); found != std::string::npos; found = text.find(marker, found + 1)) {
      if (!wide || (start + static_cast<std::streamoff>(found)) % 2 == 0) return start + static_cast<int64_t>(found);
    }
    if (got < kChunk) return -1;
    const std::streamoff next = start + got - overlap;
    if (next <= start) return -1;
    start = next;
  }
}

void DebugLogFile::WriteThreadReport() {
  ThreadNameRegistry& registry = GetThreadNameRegistry();
  ThreadNameRegistry::Iterator position;
  DWORD threadId = 0;
  std::string name;
  for (bool more = registry.FirstThreadName(position, threadId, name); more;
       more = registry.NextThreadName(position, threadId, name)) {
    wchar_t line[kLineUnits];
    const std::wstring wideName = NarrowToWide(name.substr(0, 255));
    _snwprintf(line, kLineUnits - 1, L"[DIAG] EVENT=Thread_report, THREADID=0x%X, THREADNAME=\"%s\"", threadId,
               wideName.c_str());
    line[kLineUnits - 1] = L'\0';
    SYSTEMTIME now;
    GetLocalTime(&now);
    WriteEntry(now, GetCurrentThreadId(), kInformationLevel, line, 0, L"");
  }
}

void DebugLogFile::ReportFileError(const wchar_t* what, const std::wstring& path) {
  const int error = errno;
  if (error == lastReportedErrno_) return;
  lastReportedErrno_ = error;
  wchar_t message[kLineUnits];
  _snwprintf(message, kLineUnits - 1, what, path.c_str());
  message[kLineUnits - 1] = L'\0';
  const std::wstring reason = NarrowToWide(std::strerror(error));
  std::wstring text = message;
  text += L" : " + reason + L" (error : " + std::to_wstring(error) + L")";
  DebugLogId(1, kFileErrorEventId, L"%s", text.c_str());
}
