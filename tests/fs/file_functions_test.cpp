// File facts, path parts and full paths, folder creation and sizes, checked
// against files the test writes with the standard library.
#include <cstdint>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/fs/file_functions.h"
#include "tests/common/log_capture.h"
#include "tests/fs/scratch_folder.h"

namespace {

TEST(FileFacts, ExistenceAndSizeOfFilesFoldersAndBadPaths) {
  ScratchFolder scratch;
  scratch.File(L"five.bin", "12345");
  scratch.File(L"empty.bin", "");
  const std::wstring file = scratch.Path(L"five.bin");
  const std::wstring overlong = scratch.Path(std::wstring(300, L'x'));
  EXPECT_TRUE(FileExists(file.c_str()));
  EXPECT_TRUE(FileExists(NarrowPath(file).c_str()));
  EXPECT_FALSE(DirectoryExists(file.c_str()));
  EXPECT_TRUE(DirectoryExists(scratch.path().c_str()));
  EXPECT_TRUE(DirectoryExists(NarrowPath(scratch.path()).c_str()));
  EXPECT_FALSE(FileExists(scratch.path().c_str()));
  EXPECT_EQ(5, FileSize(file.c_str()));
  EXPECT_EQ(5, FileSize(NarrowPath(file).c_str()));
  EXPECT_EQ(0, FileSize(scratch.Path(L"empty.bin").c_str()));
  for (const wchar_t* bad : {static_cast<const wchar_t*>(nullptr), L"", overlong.c_str(), L"Q:\\no\\such.bin"}) {
    EXPECT_FALSE(FileExists(bad));
    EXPECT_FALSE(DirectoryExists(bad));
    EXPECT_EQ(-1, FileSize(bad));
  }
  EXPECT_FALSE(FileExists(static_cast<const char*>(nullptr)));
  EXPECT_EQ(-1, FileSize(static_cast<const char*>(nullptr)));
}

TEST(FileFacts, FileHeldExclusivelyByAnotherHandleStillExists) {
  ScratchFolder scratch;
  scratch.File(L"held.bin", "abc");
  const std::wstring path = scratch.Path(L"held.bin");
  HANDLE held = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  EXPECT_TRUE(FileExists(path.c_str()));
  EXPECT_EQ(-1, FileSize(path.c_str()));
  CloseHandle(held);
  EXPECT_EQ(3, FileSize(path.c_str()));
}

TEST(PathParts, DriveLetterAndSplitParts) {
  EXPECT_EQ(L'd', GetDriveLetter(L"d:\\x"));
  EXPECT_EQ('C', GetDriveLetter("C:"));
  for (const wchar_t* none : {static_cast<const wchar_t*>(nullptr), L"", L"\\\\server\\share", L"1:\\x", L"x"}) {
    EXPECT_EQ(0, GetDriveLetter(none));
  }
  struct Case {
    const wchar_t* path;
    const wchar_t* directory;
    const wchar_t* base;
    const wchar_t* extension;
    const wchar_t* fileName;
  };
  const Case cases[] = {
      {L"C:\\Logs\\trace.old.txt", L"C:\\Logs\\", L"trace.old", L"txt", L"trace.old.txt"},
      {L"README", L"", L"README", L"", L"README"},
      {L"\\\\srv\\share\\a.b", L"\\\\srv\\share\\", L"a", L"b", L"a.b"},
      {L"", L"", L"", L"", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.directory, ExtractDirectory(c.path)) << c.path;
    EXPECT_EQ(c.base, ExtractBaseName(c.path)) << c.path;
    EXPECT_EQ(c.extension, ExtractExtension(c.path)) << c.path;
    EXPECT_EQ(c.fileName, ExtractFileName(c.path)) << c.path;
    EXPECT_EQ(NarrowPath(c.fileName), ExtractFileName(NarrowPath(c.path).c_str())) << c.path;
  }
  EXPECT_EQ(L"", ExtractFileName(static_cast<const wchar_t*>(nullptr)));
  // A part longer than its buffer gives nothing rather than a cut name.
  EXPECT_EQ(L"", ExtractBaseName((L"C:\\" + std::wstring(300, L'n') + L".txt").c_str()));
}

TEST(PathParts, FullPathExpandsVariablesAndResolvesOnlyDotPaths) {
  SetEnvironmentVariableW(L"FERNWICK_FS_TEST", L"C:\\Var");
  wchar_t out[260] = {L'?'};
  EXPECT_TRUE(GetFullPath(L"%FERNWICK_FS_TEST%\\x", out, 260));
  EXPECT_STREQ(L"C:\\Var\\x", out);
  EXPECT_TRUE(GetFullPath(L"..\\relative", out, 260));
  wchar_t current[260] = {};
  GetCurrentDirectoryW(260, current);
  EXPECT_EQ((std::filesystem::path(current).parent_path() / L"relative").wstring(), out);
  EXPECT_TRUE(GetFullPath(L"plain\\x", out, 260));
  EXPECT_STREQ(L"plain\\x", out);
  char narrow[260] = {'?'};
  EXPECT_TRUE(GetFullPath("%FERNWICK_FS_TEST%\\y", narrow, 260));
  EXPECT_STREQ("C:\\Var\\y", narrow);
  // Failures leave the output empty: bad arguments, a result that does not
  // fit, an over-long path, a result the ANSI code page cannot spell.
  const std::wstring overlong(300, L'a');
  SetEnvironmentVariableW(L"FERNWICK_FS_WIDE", L"C:\\\u0416\u4E2D");
  const struct {
    const wchar_t* path;
    size_t size;
  } failures[] = {{nullptr, 260}, {L"", 260}, {L"C:\\toolong", 5}, {overlong.c_str(), 260}};
  for (const auto& failure : failures) {
    out[0] = L'?';
    EXPECT_FALSE(GetFullPath(failure.path, out, failure.size));
    EXPECT_EQ(L'\0', out[0]);
  }
  EXPECT_FALSE(GetFullPath(L"x", nullptr, 260));
  narrow[0] = '?';
  EXPECT_FALSE(GetFullPath("%FERNWICK_FS_WIDE%", narrow, 260));
  EXPECT_EQ('\0', narrow[0]);
  uint64_t free = 0;
  EXPECT_TRUE(GetFreeDiskSpace(current, &free));
  EXPECT_GT(free, 0u);
  EXPECT_FALSE(GetFreeDiskSpace(L"Q:\\no\\such", &free));
  EXPECT_FALSE(GetFreeDiskSpace(static_cast<const char*>(nullptr), &free));
}

TEST(Folders, ForceDirectoryCreatesMissingFoldersOnceAndReportsTheFirstFailure) {
  ScratchFolder scratch;
  LogCapture log;
  const std::wstring deep = scratch.Path(L"A\\B\\C");
  EXPECT_TRUE(fts::ForceDirectory(deep.c_str(), log.Callback()));
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_TRUE(fts::ForceDirectory((deep + L"\\").c_str(), log.Callback()));
  EXPECT_TRUE(fts::ForceDirectory(NarrowPath(scratch.Path(L"N\\M")).c_str(), log.Callback()));
  EXPECT_TRUE(std::filesystem::is_directory(scratch.Path(L"N\\M")));
  EXPECT_TRUE(log.entries().empty());

  // A file where a folder should be: one report naming the path so far.
  scratch.File(L"blocker", "");
  EXPECT_FALSE(fts::ForceDirectory(scratch.Path(L"blocker\\X\\Y").c_str(), log.Callback()));
  ASSERT_EQ(1u, log.entries().size());
  const auto report = log.entries()[0];
  EXPECT_EQ(1, report.level);
  EXPECT_EQ("fts::ForceDirectory", report.function);
  EXPECT_EQ(0u, report.message.find(L"Cannot create folder " + scratch.Path(L"blocker") + L" ["));
  EXPECT_FALSE(std::filesystem::exists(scratch.Path(L"blocker\\X")));

  EXPECT_FALSE(fts::ForceDirectory(static_cast<const wchar_t*>(nullptr), log.Callback()));
  EXPECT_FALSE(fts::ForceDirectory(L"\\\\", log.Callback()));
  ASSERT_EQ(2u, log.entries().size());
  EXPECT_EQ(L"File path is null", log.entries()[1].message);
}

TEST(Folders, ForceDirectoryKeepsARootedPathRooted) {
  ScratchFolder scratch;
  const std::wstring full = scratch.Path(L"rooted\\inner");
  // The same folder written from the root of the current drive.
  wchar_t current[260] = {};
  GetCurrentDirectoryW(260, current);
  SetCurrentDirectoryW(scratch.path().c_str());
  const bool created = fts::ForceDirectory(full.substr(2).c_str(), nullptr);
  SetCurrentDirectoryW(current);
  EXPECT_TRUE(created);
  EXPECT_TRUE(std::filesystem::is_directory(full));
  EXPECT_FALSE(std::filesystem::exists(scratch.Path(full.substr(3))));
}

TEST(Folders, FolderSizeCountsOwnFilesOrTheWholeTreeOnce) {
  ScratchFolder scratch;
  scratch.File(L"a.txt", "1234");
  scratch.File(L"sub\\b.txt", "123456");
  scratch.File(L"sub\\deeper\\c.dat", "12");
  LogCapture log;
  EXPECT_EQ(4, fts::FolderSize(scratch.path().c_str(), log.Callback(), false));
  EXPECT_EQ(12, fts::FolderSize(scratch.path().c_str(), log.Callback(), true));
  EXPECT_EQ(12, fts::FolderSize((scratch.path() + L"\\").c_str(), log.Callback(), true));
  EXPECT_EQ(12, fts::FolderSize(NarrowPath(scratch.path()).c_str(), nullptr, true));
  EXPECT_EQ(0, fts::FolderSize(L"Q:\\no\\such", nullptr, true));
  const size_t before = log.entries().size();
  EXPECT_EQ(-1, fts::FolderSize(static_cast<const wchar_t*>(nullptr), log.Callback(), true));
  ASSERT_EQ(before + 1, log.entries().size());
  EXPECT_EQ(L"Directory name cannot be empty", log.entries().back().message);

  // An unreadable file is reported and left out.
  HANDLE held = CreateFileW(scratch.Path(L"a.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  LogCapture heldLog;
  EXPECT_EQ(8, fts::FolderSize(scratch.path().c_str(), heldLog.Callback(), true));
  CloseHandle(held);
  int warnings = 0;
  for (const auto& entry : heldLog.entries()) {
    if (entry.level != 2) continue;
    ++warnings;
    EXPECT_EQ(L"Cannot get size of file : [" + scratch.Path(L"a.txt") + L"]", entry.message);
  }
  EXPECT_EQ(1, warnings);
}

}  // namespace
