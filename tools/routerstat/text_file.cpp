#include "tools/routerstat/text_file.h"

#include <algorithm>

#include "support/fs/unique_handle.h"

namespace routerstat {

namespace {

// A reader that opened the file without delete sharing (the exporter does,
// for an instant) makes the replacement fail with one of these; it is
// retried for up to a second.
constexpr int kReplaceAttempts = 50;
constexpr DWORD kReplaceRetryMs = 20;

bool IsTransient(DWORD error) { return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION; }

DWORD WriteNewFile(const std::wstring& path, const std::string& text) {
  const UniqueHandle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  size_t written = 0;
  while (written < text.size()) {
    const auto chunk = static_cast<DWORD>(std::min<size_t>(text.size() - written, 1u << 30));
    DWORD done = 0;
    if (!WriteFile(file.get(), text.data() + written, chunk, &done, nullptr)) return GetLastError();
    written += done;
  }
  // On disk before the rename, so a crash cannot leave the name on an empty file.
  return FlushFileBuffers(file.get()) ? ERROR_SUCCESS : GetLastError();
}

DWORD MoveIntoPlace(const std::wstring& from, const std::wstring& to) {
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    if (!IsTransient(error) || attempt == kReplaceAttempts) return error;
    Sleep(kReplaceRetryMs);
  }
}

}  // namespace

DWORD ReplaceFileText(const std::wstring& path, const std::string& text) {
  // Not a *.prom name, so the textfile collector never reads it.
  const std::wstring temporary = path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  DWORD error = WriteNewFile(temporary, text);
  if (error == ERROR_SUCCESS) error = MoveIntoPlace(temporary, path);
  if (error != ERROR_SUCCESS) DeleteFileW(temporary.c_str());
  return error;
}

}  // namespace routerstat
