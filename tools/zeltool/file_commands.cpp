// ZelTool crc, version and ls: the file functions of the support library.
#include <cinttypes>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "support/fs/crc.h"
#include "support/fs/file_functions.h"
#include "support/fs/folder_list.h"
#include "tools/common/arguments.h"
#include "tools/zeltool/commands.h"
#include "tools/zeltool/output.h"

namespace zeltool {

namespace {

// Reads the command's positional arguments; only the options in `flags` are
// accepted, each recorded as set.
bool ParsePositional(int argc, wchar_t** argv, const char* usage, std::vector<std::wstring>* positional,
                     std::set<std::wstring> flags = {}, std::set<std::wstring>* set = nullptr) {
  const std::string tool = "ZelTool " + std::string(argv[0], argv[0] + std::wcslen(argv[0]));
  return tools::ParseCommandLine(argc, argv, tool.c_str(), usage, [&](tools::ArgumentList& args,
                                                                      const std::wstring& item) {
    if (item.rfind(L"--", 0) != 0) {
      positional->push_back(item);
      return true;
    }
    if (flags.count(item) == 0) return args.RejectUnknown(item);
    set->insert(item);
    return true;
  });
}

int UsageError(const char* usage) {
  std::fputs(usage, stderr);
  return kExitUsage;
}

}  // namespace

const char kCrcUsage[] = "  crc FILE...                 per file: CRC-32, CRC-64, size in bytes, path\n";
const char kVersionUsage[] = "  version FILE                the file's version a.b.c.d\n";
const char kLsUsage[] = "  ls [--recursive] FOLDER [MASKS]   matching files, one full path per line\n";

int RunCrc(int argc, wchar_t** argv) {
  std::vector<std::wstring> files;
  if (!ParsePositional(argc, argv, kCrcUsage, &files)) return kExitUsage;
  if (files.empty()) return UsageError(kCrcUsage);
  int result = kExitOk;
  for (const auto& file : files) {
    const int64_t size = FileExists(file.c_str()) ? FileSize(file.c_str()) : -1;
    int64_t read = 0;
    const uint64_t crc64 = size > 0 ? FileCrc64(file.c_str(), &read) : 0;
    const uint32_t crc32 = size > 0 ? FileCrc32(file.c_str()) : 0;
    // Checksums of 0 from a non-empty file mean it could not be read.
    if (size < 0 || (size > 0 && crc64 == 0 && crc32 == 0)) {
      PrintError(L"crc", L"cannot read " + file);
      result = kExitFailed;
      continue;
    }
    wchar_t figures[64];
    std::swprintf(figures, 64, L"%08" PRIx32 L" %016" PRIx64 L" %" PRId64 L" ", crc32, crc64, size);
    PrintLine(figures + file);
  }
  return result;
}

int RunVersion(int argc, wchar_t** argv) {
  std::vector<std::wstring> files;
  if (!ParsePositional(argc, argv, kVersionUsage, &files)) return kExitUsage;
  if (files.size() != 1) return UsageError(kVersionUsage);
  uint32_t major = 0, minor = 0, build = 0, revision = 0;
  if (!GetFileVersion(files[0].c_str(), &major, &minor, &build, &revision)) {
    PrintError(L"version", files[0] + L" has no version information");
    return kExitFailed;
  }
  PrintLine(std::to_wstring(major) + L"." + std::to_wstring(minor) + L"." + std::to_wstring(build) + L"." +
            std::to_wstring(revision));
  return kExitOk;
}

int RunLs(int argc, wchar_t** argv) {
  std::vector<std::wstring> arguments;
  std::set<std::wstring> flags;
  if (!ParsePositional(argc, argv, kLsUsage, &arguments, {L"--recursive"}, &flags)) return kExitUsage;
  if (arguments.empty() || arguments.size() > 2) return UsageError(kLsUsage);
  const std::wstring& folder = arguments[0];
  if (!DirectoryExists(folder.c_str())) {
    PrintError(L"ls", L"no such folder " + folder);
    return kExitFailed;
  }
  std::set<std::wstring> files;
  fts::FilesList(folder.c_str(), &PrintReport, flags.count(L"--recursive") != 0, files,
                 arguments.size() > 1 ? arguments[1].c_str() : nullptr);
  for (const auto& file : files) PrintLine(file);
  return kExitOk;
}

}  // namespace zeltool
