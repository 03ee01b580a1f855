// Version numbers read back from the probe DLL built with a known version
// resource (3.14.15926.65535; its product version differs).
#include <cstdint>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/fs/file_functions.h"
#include "tests/common/log_capture.h"
#include "tests/fs/scratch_folder.h"

namespace {

constexpr wchar_t kProbe[] = L"fernwick_version_probe.dll";

struct Version {
  uint32_t major = 77, minor = 77, build = 77, revision = 77;
  bool Is(uint32_t a, uint32_t b, uint32_t c, uint32_t d) const {
    return major == a && minor == b && build == c && revision == d;
  }
};

TEST(FileVersion, ReadsTheFixedFileVersionByPathAndThroughVariables) {
  const std::wstring probe = ExecutableFolder() + L"\\" + kProbe;
  Version v;
  ASSERT_TRUE(GetFileVersion(probe.c_str(), &v.major, &v.minor, &v.build, &v.revision));
  EXPECT_TRUE(v.Is(3, 14, 15926, 65535));
  SetEnvironmentVariableW(L"FERNWICK_PROBE_DIR", ExecutableFolder().c_str());
  Version expanded;
  EXPECT_TRUE(GetFileVersion(L"%FERNWICK_PROBE_DIR%\\fernwick_version_probe.dll", &expanded.major, &expanded.minor,
                             &expanded.build, &expanded.revision));
  EXPECT_TRUE(expanded.Is(3, 14, 15926, 65535));
}

TEST(FileVersion, FilesWithoutVersionGiveFalseAndZeros) {
  ScratchFolder scratch;
  scratch.File(L"not_pe.dll", "MZ but not really an image");
  const std::wstring overlong = ExecutableFolder() + L"\\" + std::wstring(280, L'v') + L".dll";
  for (const std::wstring& path : {scratch.Path(L"not_pe.dll"), scratch.Path(L"missing.dll"), overlong,
                                   std::wstring(L"%FERNWICK_NO_SUCH_VARIABLE%\\x.dll"), std::wstring()}) {
    Version v;
    EXPECT_FALSE(GetFileVersion(path.c_str(), &v.major, &v.minor, &v.build, &v.revision)) << path;
    EXPECT_TRUE(v.Is(0, 0, 0, 0)) << path;
  }
  Version v;
  EXPECT_FALSE(GetFileVersion(nullptr, &v.major, &v.minor, &v.build, &v.revision));
  EXPECT_TRUE(v.Is(0, 0, 0, 0));
}

TEST(FileVersion, LoadedModulesByNameAndTheirReports) {
  LogCapture log;
  Version v;
  // Not loaded: the reporting form refuses, with one report.
  EXPECT_FALSE(fts::GetModuleVersionExt(kProbe, &v.major, &v.minor, &v.build, &v.revision, log.Callback()));
  EXPECT_TRUE(v.Is(0, 0, 0, 0));
  ASSERT_EQ(1u, log.entries().size());
  EXPECT_EQ(2, log.entries()[0].level);
  EXPECT_EQ("fts::GetModuleVersionExt", log.entries()[0].function);
  EXPECT_EQ(0u, log.entries()[0].message.find(L"Cannot get module name [fernwick_version_probe.dll], the function "
                                              L"returns error: "));

  const HMODULE module = LoadLibraryW((ExecutableFolder() + L"\\" + kProbe).c_str());
  ASSERT_NE(nullptr, module);
  Version wide, narrow, ext;
  EXPECT_TRUE(GetModuleVersion(kProbe, &wide.major, &wide.minor, &wide.build, &wide.revision));
  EXPECT_TRUE(wide.Is(3, 14, 15926, 65535));
  EXPECT_TRUE(GetModuleVersion("FERNWICK_VERSION_PROBE", &narrow.major, &narrow.minor, &narrow.build,
                               &narrow.revision));
  EXPECT_TRUE(narrow.Is(3, 14, 15926, 65535));
  EXPECT_TRUE(fts::GetModuleVersionExt(kProbe, &ext.major, &ext.minor, &ext.build, &ext.revision, log.Callback()));
  EXPECT_TRUE(ext.Is(3, 14, 15926, 65535));
  FreeLibrary(module);
  EXPECT_EQ(1u, log.entries().size());

  // Loaded but without a version resource: the test program itself.
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  EXPECT_FALSE(fts::GetModuleVersionExt(self, &v.major, &v.minor, &v.build, &v.revision, log.Callback()));
  EXPECT_FALSE(fts::GetModuleVersionExt(L"", &v.major, &v.minor, &v.build, &v.revision, log.Callback()));
  ASSERT_EQ(3u, log.entries().size());
  EXPECT_EQ(0u, log.entries()[1].message.find(L"Could not get file version [" + std::wstring(self) + L"]"));
  EXPECT_EQ(L"Module name is empty", log.entries()[2].message);
}

}  // namespace
