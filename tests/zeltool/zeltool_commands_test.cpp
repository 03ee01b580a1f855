// ZelTool crc, version, ls and env run as separate processes, their output
// checked against Python's checksums, the probe DLL's known version and a
// tree the test builds.
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fs/scratch_folder.h"
#include "tests/tools/zeltool_run.h"

namespace {

TEST(ZelToolFiles, CrcPrintsPythonsChecksumsSizeAndPath) {
  const std::string folder = FERNWICK_CRC_REFERENCE_DIR;
  std::ifstream manifest(folder + "/manifest.txt");
  std::string name, size, crc32, crc64;
  ASSERT_TRUE(manifest >> name >> size >> crc32 >> crc64);
  const std::wstring path = L"Z:" + std::wstring(folder.begin(), folder.end()) + L"\\" +
                            std::wstring(name.begin(), name.end());
  ScratchFolder scratch;
  scratch.File(L"empty.bin", "");
  const ZelToolRun outcome = RunZelTool(L"crc \"" + path + L"\" \"" + scratch.Path(L"empty.bin") + L"\"");
  EXPECT_EQ(0u, outcome.exitCode) << outcome.errors;
  ASSERT_EQ(2u, outcome.lines.size());
  EXPECT_EQ(crc32 + " " + crc64 + " " + size + " " + NarrowPath(path), outcome.lines[0]);
  EXPECT_EQ("00000000 0000000000000000 0 " + NarrowPath(scratch.Path(L"empty.bin")), outcome.lines[1]);

  const ZelToolRun missing = RunZelTool(L"crc \"" + path + L"\" Q:\\no\\such.bin");
  EXPECT_EQ(1u, missing.exitCode);
  EXPECT_EQ(1u, missing.lines.size());
  EXPECT_NE(std::string::npos, missing.errors.find("cannot read Q:\\no\\such.bin"));
}

TEST(ZelToolFiles, VersionOfTheProbeAndOfAFileWithout) {
  const ZelToolRun probe = RunZelTool(L"version \"" + ExecutableFolder() + L"\\fernwick_version_probe.dll\"");
  EXPECT_EQ(0u, probe.exitCode) << probe.errors;
  EXPECT_EQ(std::vector<std::string>{"3.14.15926.65535"}, probe.lines);
  ScratchFolder scratch;
  scratch.File(L"plain.txt", "no image");
  const ZelToolRun plain = RunZelTool(L"version \"" + scratch.Path(L"plain.txt") + L"\"");
  EXPECT_EQ(1u, plain.exitCode);
  EXPECT_TRUE(plain.lines.empty());
  EXPECT_NE(std::string::npos, plain.errors.find("has no version information"));
}

TEST(ZelToolFiles, LsListsMatchingFilesInOrder) {
  ScratchFolder scratch;
  scratch.File(L"b.txt");
  scratch.File(L"a.log");
  scratch.File(L"sub\\deeper\\c.txt");
  const std::string root = NarrowPath(scratch.path());
  const ZelToolRun flat = RunZelTool(L"ls \"" + scratch.path() + L"\" *.txt");
  EXPECT_EQ(0u, flat.exitCode) << flat.errors;
  EXPECT_EQ(std::vector<std::string>{root + "\\b.txt"}, flat.lines);
  const ZelToolRun tree = RunZelTool(L"ls --recursive \"" + scratch.path() + L"\"");
  EXPECT_EQ((std::vector<std::string>{root + "\\a.log", root + "\\b.txt", root + "\\sub\\deeper\\c.txt"}),
            tree.lines);
  EXPECT_EQ(1u, RunZelTool(L"ls Q:\\no\\such").exitCode);
}

TEST(ZelToolEnv, EveryStdoutLineIsAnEnvironmentLine) {
  const ZelToolRun env = RunZelTool(L"env");
  EXPECT_EQ(0u, env.exitCode) << env.errors;
  ASSERT_GT(env.lines.size(), 10u);
  bool listsItself = false;
  for (const auto& line : env.lines) {
    EXPECT_EQ(0u, line.find("[ENV] ")) << line;
    listsItself = listsItself || line.find("[ENV] Running Process: ZelTool.exe, ID: ") == 0;
  }
  EXPECT_TRUE(listsItself);
  EXPECT_EQ(0u, env.lines[0].find("[ENV] Current Process: ")) << env.lines[0];
}

TEST(ZelTool, UsageErrors) {
  for (const wchar_t* arguments : {L"crc", L"version a b", L"ls --deep x", L"env extra", L"stack --file x --root y",
                                   L"stack", L"stack --file x --ident i", L"crash --kind sideways --file x",
                                   L"crash --file x extra", L"crash --holding queue --file x",
                                   L"crash --thread main --file x"}) {
    const ZelToolRun outcome = RunZelTool(arguments);
    EXPECT_EQ(2u, outcome.exitCode) << NarrowPath(arguments);
    EXPECT_TRUE(outcome.lines.empty()) << NarrowPath(arguments);
  }
}

}  // namespace
