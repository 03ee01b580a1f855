// Listings over folder trees the test builds: order, masks, recursion,
// progress reports, and folders that fail or vanish while being listed.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/fs/code_page.h"
#include "support/fs/file_functions.h"
#include "support/fs/folder_list.h"
#include "support/fs/unique_handle.h"
#include "tests/common/log_capture.h"
#include "tests/fs/scratch_folder.h"

namespace {

using Names = std::set<std::wstring>;

std::vector<std::wstring> Reports(const LogCapture& log) {
  std::vector<std::wstring> lines;
  for (const auto& e : log.entries()) {
    lines.push_back(std::to_wstring(e.level) + L" " + std::to_wstring(e.a) + L"," + std::to_wstring(e.b) + L"," +
                    std::to_wstring(e.c) + L" " + e.message);
  }
  return lines;
}

TEST(Listings, SubfolderNamesInCodeUnitOrderWithOneReportEach) {
  ScratchFolder scratch;
  for (const wchar_t* name : {L"B", L"a", L"C"}) scratch.Folder(name);
  scratch.File(L"file.txt");
  LogCapture log;
  EXPECT_EQ((Names{L"B", L"C", L"a"}), fts::FolderNameList(scratch.path().c_str(), log.Callback()));
  // Reports come in the platform's enumeration order.
  auto reports = Reports(log);
  std::sort(reports.begin(), reports.end());
  EXPECT_EQ((std::vector<std::wstring>{L"3 2,-1,-1 B", L"3 2,-1,-1 C", L"3 2,-1,-1 a"}), reports);
  EXPECT_EQ((std::set<std::string>{"B", "C", "a"}),
            fts::FolderNameList((NarrowPath(scratch.path()) + "\\").c_str(), nullptr));
  EXPECT_TRUE(fts::FolderNameList(L"Q:\\no\\such", nullptr).empty());
}

TEST(Listings, FolderListSelfImmediateOrWholeTree) {
  ScratchFolder scratch;
  scratch.Folder(L"x\\deep");
  scratch.Folder(L"y");
  const std::wstring root = scratch.path();
  const Names immediate{root, root + L"\\x", root + L"\\y"};
  EXPECT_EQ(immediate, fts::FolderList(root.c_str(), nullptr, false));
  EXPECT_EQ(immediate, fts::FolderList((root + L"\\").c_str(), nullptr, false));
  EXPECT_EQ((Names{root + L"\\x", root + L"\\y"}), fts::FolderList(root.c_str(), nullptr, false, 1));
  Names tree = immediate;
  tree.insert(root + L"\\x\\deep");
  EXPECT_EQ(tree, fts::FolderList(root.c_str(), nullptr, true));
  const auto narrow = fts::FolderList(NarrowPath(root).c_str(), nullptr, true);
  EXPECT_EQ(tree.size(), narrow.size());
  EXPECT_EQ(1u, narrow.count(NarrowPath(root + L"\\x\\deep")));
  // A missing folder still lists itself; a drive root loses its backslash.
  EXPECT_EQ((Names{L"Q:\\no\\such"}), fts::FolderList(L"Q:\\no\\such", nullptr, true));
  EXPECT_EQ(1u, fts::FolderList(L"C:\\", nullptr, false).count(L"C:"));

  LogCapture log;
  fts::FolderList(root.c_str(), log.Callback(), true);
  const std::vector<std::wstring> expected = {
      L"3 2,-1,-1 x", L"3 2,-1,-1 y", L"3 1,2,0 " + root, L"4 1,0,0 " + root + L"\\x", L"3 2,-1,-1 deep",
      L"3 1,1,0 " + root + L"\\x", L"4 1,0,0 " + root + L"\\x\\deep", L"3 1,0,0 " + root + L"\\x\\deep",
      L"3 1,-1,0 ", L"3 1,-1,0 ", L"4 1,0,1 " + root + L"\\y", L"3 1,0,0 " + root + L"\\y", L"3 1,-1,0 ",
      L"3 1,-1,0 "};
  EXPECT_EQ(expected, Reports(log));
}

TEST(Listings, MasksSelectFilesAndOnlyArchivedFilesCount) {
  ScratchFolder scratch;
  for (const wchar_t* name : {L"a.txt", L"b.log", L"readme", L"c.TXT.bak", L"d.dat"}) scratch.File(name);
  scratch.Folder(L"folder.txt");
  const std::wstring root = scratch.path();
  const struct {
    const wchar_t* masks;
    Names expected;
  } cases[] = {
      {nullptr, {L"a.txt", L"b.log", L"c.TXT.bak", L"d.dat", L"readme"}},
      {L"", {L"a.txt", L"b.log", L"c.TXT.bak", L"d.dat", L"readme"}},
      {L"*.txt;*.log", {L"a.txt", L"b.log"}},
      {L";*.txt;;*.log;", {L"a.txt", L"b.log"}},
      {L"*.txt;read*", {L"a.txt"}},
      {L"read*", {L"readme"}},
      {L"*.;x", {}},
      {L";;", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, fts::FilesList(root.c_str(), nullptr, c.masks)) << (c.masks ? c.masks : L"(null)");
  }
  EXPECT_EQ((std::set<std::string>{"a.txt"}), fts::FilesList(NarrowPath(root).c_str(), nullptr, "*.txt;read*"));
}

TEST(Listings, FilesWithoutTheArchiveBitAreLeftOut) {
  ScratchFolder scratch;
  scratch.File(L"d.dat");
  const std::wstring root = scratch.path();
  const std::wstring plain = scratch.Path(L"d.dat");
  ASSERT_TRUE(SetFileAttributesW(plain.c_str(), FILE_ATTRIBUTE_NORMAL));
  if ((GetFileAttributesW(plain.c_str()) & FILE_ATTRIBUTE_ARCHIVE) != 0) {
    GTEST_SKIP() << "this file system keeps no archive bit";
  }
  EXPECT_EQ(0u, fts::FilesList(root.c_str(), nullptr, L"*.dat").size());
}

TEST(Listings, TreeFormsAddFullPathsWithSizesAndProgress) {
  ScratchFolder scratch;
  scratch.File(L"top.txt", "1234");
  scratch.File(L"sub\\mid.txt", "12");
  scratch.File(L"sub\\deep\\low.txt", "1");
  scratch.File(L"sub\\deep\\low.log", "123");
  const std::wstring root = scratch.path();

  std::set<std::wstring> shallow{L"kept"};
  fts::FilesList(root.c_str(), nullptr, false, shallow, L"*.txt");
  EXPECT_EQ((Names{L"kept", root + L"\\sub\\mid.txt", root + L"\\top.txt"}), shallow);

  LogCapture log;
  std::set<std::wstring> all;
  fts::FilesList((root + L"\\").c_str(), log.Callback(), true, all);
  EXPECT_EQ(4u, all.size());
  EXPECT_EQ(1u, all.count(root + L"\\sub\\deep\\low.log"));
  std::vector<std::wstring> fileReports;
  const auto entries = log.entries();
  const auto reports = Reports(log);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].function == "fts::FilesList") fileReports.push_back(reports[i]);
  }
  EXPECT_EQ((std::vector<std::wstring>{L"3 1,3,0 ", L"4 1,0,0 " + root, L"4 1,0,1 " + root + L"\\sub",
                                       L"4 1,0,2 " + root + L"\\sub\\deep", L"3 1,-1,0 "}),
            fileReports);

  std::set<std::string> narrow;
  fts::FilesList(NarrowPath(root).c_str(), nullptr, true, narrow, "*.log");
  EXPECT_EQ((std::set<std::string>{NarrowPath(root + L"\\sub\\deep\\low.log")}), narrow);

  std::map<std::wstring, int64_t> sizes;
  EXPECT_EQ(10, fts::FilesList((root + L"\\").c_str(), nullptr, true, sizes, nullptr));
  EXPECT_EQ(4u, sizes.size());
  EXPECT_EQ(3, sizes[root + L"\\sub\\deep\\low.log"]);

  HANDLE held = CreateFileW((root + L"\\top.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  std::map<std::wstring, int64_t> withHeld;
  EXPECT_EQ(6, fts::FilesList(root.c_str(), nullptr, true, withHeld, nullptr));
  CloseHandle(held);
  EXPECT_EQ(-1, withHeld[root + L"\\top.txt"]);

  scratch.Folder(L"empty");
  std::map<std::wstring, int64_t> none{{L"kept", 5}};
  EXPECT_EQ(0, fts::FilesList(scratch.Path(L"empty").c_str(), nullptr, true, none, nullptr));
  EXPECT_EQ(1u, none.size());
}

TEST(Listings, NullFolderIsReportedOnceByEveryForm) {
  LogCapture log;
  std::set<std::wstring> paths;
  std::set<std::string> narrowPaths;
  std::map<std::wstring, int64_t> sizes;
  EXPECT_TRUE(fts::FolderNameList(static_cast<const wchar_t*>(nullptr), log.Callback()).empty());
  EXPECT_TRUE(fts::FolderList(static_cast<const char*>(nullptr), log.Callback(), true).empty());
  EXPECT_TRUE(fts::FilesList(static_cast<const wchar_t*>(nullptr), log.Callback()).empty());
  fts::FilesList(static_cast<const wchar_t*>(nullptr), log.Callback(), true, paths);
  fts::FilesList(static_cast<const char*>(nullptr), log.Callback(), true, narrowPaths);
  EXPECT_EQ(-1, fts::FilesList(nullptr, log.Callback(), true, sizes, nullptr));
  const auto entries = log.entries();
  ASSERT_EQ(6u, entries.size());
  for (const auto& e : entries) {
    EXPECT_EQ(1, e.level);
    EXPECT_EQ(L"Directory name cannot be empty", e.message);
  }
  EXPECT_TRUE(paths.empty() && narrowPaths.empty() && sizes.empty());
}

// A callback that throws while names are being read, and one that removes a
// folder just before the listing descends into it.
std::wstring g_vanishing;
int g_subfoldersSeen = 0;
intptr_t ThrowOnSecondSubfolder(int32_t level, int32_t a, int32_t b, int32_t c, const wchar_t* message,
                          const char* function, int32_t line, ErrorRecord* record) {
  LogCapture::Callback()(level, a, b, c, message, function, line, record);
  if (level == 3 && a == 2 && ++g_subfoldersSeen == 2) throw std::runtime_error("callback failure");
  return 0;
}
intptr_t RemoveBeforeDescent(int32_t level, int32_t, int32_t, int32_t, const wchar_t* message, const char*, int32_t,
                             ErrorRecord*) {
  if (level == 4 && message == g_vanishing) std::filesystem::remove_all(g_vanishing);
  return 0;
}

TEST(Listings, FailuresWhileReadingGivePartialResults) {
  ScratchFolder scratch;
  scratch.Folder(L"first");
  scratch.Folder(L"second");
  LogCapture log;
  g_subfoldersSeen = 0;
  // The name reported first was taken; the enumeration stopped at the second.
  const auto names = fts::FolderNameList(scratch.path().c_str(), &ThrowOnSecondSubfolder);
  const auto entries = log.entries();
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ((Names{entries[0].message}), names);
  EXPECT_EQ(L"Unknown error to read [" + scratch.path() + L"]", entries[2].message);
  EXPECT_EQ(1, entries[2].level);

  scratch.File(L"second\\inner\\lost.txt");
  scratch.File(L"first\\kept.txt");
  g_vanishing = scratch.Path(L"second");
  std::set<std::wstring> files;
  fts::FilesList(scratch.path().c_str(), &RemoveBeforeDescent, true, files);
  EXPECT_EQ((Names{scratch.Path(L"first\\kept.txt")}), files);
}

// Folder links as an administrator finds them: Unix symbolic links, made
// with the system's own ln and rm under Wine, which shows them as reparse
// points. Wine does not report a Unix program's end, so the test waits for
// the result to show, within a bound.
std::string UnixPath(const std::wstring& path) {
  using UnixNameCall = char*(CDECL*)(const wchar_t*);
  const auto unixName = reinterpret_cast<UnixNameCall>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = unixName != nullptr ? unixName(path.c_str()) : nullptr;
  if (name == nullptr) return std::string();
  std::string result(name);
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}
bool Present(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
bool RunUnixUntil(const std::string& command, const std::wstring& path, bool present) {
  const std::string unixPath = UnixPath(path);
  if (unixPath.empty()) return false;
  std::wstring commandLine = L"Z:\\bin\\" + std::wstring(command.begin(), command.end()) + L" \"" +
                             NarrowToWide(unixPath) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  const UniqueHandle processHandle(process.hProcess);
  const UniqueHandle threadHandle(process.hThread);
  for (int wait = 0; wait < 150 && Present(path) != present; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return Present(path) == present;
}

class FolderLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_.File(L"top.txt", "1234");
    scratch_.File(L"a\\in.txt", "12");
    for (const wchar_t* link : kLinks) {
      if (!RunUnixUntil("ln -s ..", scratch_.Path(link), true)) GTEST_SKIP() << "no Unix ln to make folder links with";
    }
    ASSERT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY),
              GetFileAttributesW(scratch_.Path(kLinks[0]).c_str()));
  }
  // Removed before the scratch folder, whose removal could follow them.
  void TearDown() override {
    for (const wchar_t* link : kLinks) RunUnixUntil("rm -f", scratch_.Path(link), false);
  }

  // Each leads back to the top folder: one link gave each file dozens of
  // times, two a walk without end.
  static constexpr const wchar_t* kLinks[] = {L"a\\up", L"a\\v"};
  ScratchFolder scratch_;
};

TEST_F(FolderLinks, TreeWalksSkipLinksAndCountEachFileOnce) {
  const std::wstring root = scratch_.path();
  EXPECT_EQ((Names{root, root + L"\\a"}), fts::FolderList(root.c_str(), nullptr, true));
  EXPECT_EQ((Names{root, root + L"\\a"}), fts::FolderList(root.c_str(), nullptr, false));
  EXPECT_EQ(1u, fts::FolderList(NarrowPath(root).c_str(), nullptr, true).count(NarrowPath(root + L"\\a")));
  // The names alone still show the links; nothing is entered.
  EXPECT_EQ((Names{L"up", L"v"}), fts::FolderNameList(scratch_.Path(L"a").c_str(), nullptr));

  std::set<std::wstring> files;
  fts::FilesList(root.c_str(), nullptr, true, files);
  EXPECT_EQ((Names{root + L"\\a\\in.txt", root + L"\\top.txt"}), files);
  std::map<std::wstring, int64_t> sizes;
  EXPECT_EQ(6, fts::FilesList(root.c_str(), nullptr, true, sizes, L"*.txt"));
  EXPECT_EQ(6, fts::FolderSize(root.c_str(), nullptr, true));
  EXPECT_EQ(2, fts::FolderSize(scratch_.Path(L"a").c_str(), nullptr, true));
}

}  // namespace
