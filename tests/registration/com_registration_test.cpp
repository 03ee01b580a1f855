#include <string>

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include "registration/com_registration.h"
#include "tests/common/log_capture.h"
#include "tests/maintenance/machine_state.h"
#include "tests/registration/machine_keys.h"

namespace {

// A class of the tests' own, so the product's registration is not touched.
// {5C1D2E3F-4A5B-4C6D-8E9F-A0B1C2D3E4F5}
const CLSID kTestClassId = {0x5c1d2e3f, 0x4a5b, 0x4c6d, {0x8e, 0x9f, 0xa0, 0xb1, 0xc2, 0xd3, 0xe4, 0xf5}};
// Where COM's activation looks the class up.
const std::wstring kTestClassKey = L"Software\\Classes\\CLSID\\{5C1D2E3F-4A5B-4C6D-8E9F-A0B1C2D3E4F5}";

std::wstring OwnExePath() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

class ComRegistrationTest : public ClassKeyTest {
 protected:
  ComRegistrationTest() : ClassKeyTest(kTestClassKey) {}

  // Expects exactly one level-1 message from `function`, and no class key.
  void ExpectRefused(const LogCapture& log, const std::wstring& message, const char* function) {
    const auto entries = log.entries();
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(1, entries[0].level);
    EXPECT_EQ(message, entries[0].message);
    EXPECT_EQ(function, entries[0].function);
    EXPECT_FALSE(MachineKeyExists(kTestClassKey));
  }
};

}  // namespace

TEST_F(ComRegistrationTest, WritesEveryKeyWhereComLooksAndNeverRewritesThem) {
  const std::wstring exe = OwnExePath();
  LogCapture log;
  ASSERT_TRUE(zel_wmi::RegisterCOM(kTestClassId, exe.c_str(), L"Test Friendly", L"Test.Prog.1", L"Test.Prog",
                                   LogCapture::Callback()));
  EXPECT_TRUE(log.entries().empty());
  EXPECT_EQ(L"Test Friendly", ReadMachineString(kTestClassKey, nullptr));
  EXPECT_EQ(exe, ReadMachineString(kTestClassKey + L"\\InprocServer32", nullptr));
  EXPECT_EQ(L"Both", ReadMachineString(kTestClassKey + L"\\InprocServer32", L"ThreadingModel"));
  EXPECT_TRUE(MachineKeyExists(kTestClassKey + L"\\NotInsertable"));
  EXPECT_EQ(L"Test.Prog.1", ReadMachineString(kTestClassKey + L"\\ProgID", nullptr));
  EXPECT_EQ(L"Test.Prog", ReadMachineString(kTestClassKey + L"\\VersionIndependentProgID", nullptr));

  // A second registration, even of another file, finds the key and leaves
  // everything as it was.
  wchar_t systemDll[MAX_PATH] = {};
  GetSystemDirectoryW(systemDll, MAX_PATH);
  const std::wstring otherFile = std::wstring(systemDll) + L"\\kernel32.dll";
  ASSERT_TRUE(zel_wmi::RegisterCOM(kTestClassId, otherFile.c_str(), L"Other", L"Other.1", L"", nullptr));
  EXPECT_EQ(exe, ReadMachineString(kTestClassKey + L"\\InprocServer32", nullptr));
  EXPECT_EQ(L"Test Friendly", ReadMachineString(kTestClassKey, nullptr));

  EXPECT_TRUE(zel_wmi::UnregisterCOM(kTestClassId, LogCapture::Callback()));
  EXPECT_FALSE(MachineKeyExists(kTestClassKey));
  EXPECT_TRUE(zel_wmi::UnregisterCOM(kTestClassId, nullptr)) << "unregistering what is not registered";
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(ComRegistrationTest, ModuleHandleFormRegistersTheModuleFileAndSkipsAnEmptyIndependentProgId) {
  ASSERT_TRUE(zel_wmi::RegisterCOM(kTestClassId, GetModuleHandleW(nullptr), L"Friendly", L"Prog.1", L"", nullptr));
  EXPECT_EQ(OwnExePath(), ReadMachineString(kTestClassKey + L"\\InprocServer32", nullptr));
  EXPECT_TRUE(MachineKeyExists(kTestClassKey + L"\\ProgID"));
  EXPECT_FALSE(MachineKeyExists(kTestClassKey + L"\\VersionIndependentProgID"));
}

TEST_F(ComRegistrationTest, BadInputIsRefusedWithOneMessageAndWritesNothing) {
  const std::wstring exe = OwnExePath();
  const char* function = "zel_wmi::RegisterCOM";
  {
    LogCapture log;
    EXPECT_FALSE(zel_wmi::RegisterCOM(kTestClassId, static_cast<HMODULE>(nullptr), L"F", L"P", L"V",
                                      LogCapture::Callback()));
    ExpectRefused(log, L"Instance handler should not be 0", function);
  }
  {
    LogCapture log;
    EXPECT_FALSE(zel_wmi::RegisterCOM(kTestClassId, reinterpret_cast<HMODULE>(0x1234), L"F", L"P", L"V",
                                      LogCapture::Callback()));
    const auto entries = log.entries();
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(0u, entries[0].message.find(L"Cannot get filename from handler: 4660 with error: "))
        << std::string(entries[0].message.begin(), entries[0].message.end());
    EXPECT_FALSE(MachineKeyExists(kTestClassKey));
  }
  {
    LogCapture log;
    EXPECT_FALSE(zel_wmi::RegisterCOM(kTestClassId, exe.c_str(), L"", L"P", L"V", LogCapture::Callback()));
    ExpectRefused(log, L"COM object name is empty for " + exe, function);
  }
  {
    LogCapture log;
    EXPECT_FALSE(zel_wmi::RegisterCOM(kTestClassId, static_cast<const wchar_t*>(nullptr), nullptr, L"P", L"V",
                                      LogCapture::Callback()));
    ExpectRefused(log, L"COM object name is empty for ", function);
  }
  {
    LogCapture log;
    EXPECT_FALSE(zel_wmi::RegisterCOM(kTestClassId, exe.c_str(), L"F", nullptr, L"V", LogCapture::Callback()));
    ExpectRefused(log, L"Prog ID of COM object name is empty for " + exe, function);
  }
  {
    LogCapture log;
    EXPECT_FALSE(zel_wmi::RegisterCOM(kTestClassId, L"", L"F", L"P", L"V", LogCapture::Callback()));
    ExpectRefused(log, L"File path is empty", function);
  }
  {
    LogCapture log;
    const std::wstring missing = exe + L".missing";
    EXPECT_FALSE(zel_wmi::RegisterCOM(kTestClassId, missing.c_str(), L"F", L"P", L"V", LogCapture::Callback()));
    ExpectRefused(log, L"Cannot find: " + missing, function);
  }
  {
    LogCapture log;
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    EXPECT_FALSE(zel_wmi::RegisterCOM(kTestClassId, folder, L"F", L"P", L"V", LogCapture::Callback()));
    ExpectRefused(log, std::wstring(L"Cannot find: ") + folder, function);
  }
  // Without a callback the refusals are silent and still write nothing.
  EXPECT_FALSE(zel_wmi::RegisterCOM(kTestClassId, L"", L"F", L"P", L"V", nullptr));
  EXPECT_FALSE(MachineKeyExists(kTestClassKey));
}

TEST_F(ComRegistrationTest, UnregisterNeverFollowsALinkIntoAnotherClass) {
  using namespace maintenance_test;
  // Another program's class, reached by a link below our class key or by
  // our class key itself.
  const std::wstring victim = L"Software\\Classes\\CLSID\\{5C1D2E3F-4A5B-4C6D-8E9F-A0B1C2D3E4F6}";
  const struct {
    std::wstring link;
    bool unregistered;
  } cases[] = {{kTestClassKey + L"\\InprocServer32", true}, {kTestClassKey, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "link at " << std::string(c.link.begin(), c.link.end()));
    WriteRaw(victim, nullptr, Text(L"Victim class"));
    WriteRaw(victim + L"\\InprocServer32", nullptr, Text(L"C:\\Victim\\victim.dll"));
    if (c.unregistered) WriteRaw(kTestClassKey + L"\\ProgID", nullptr, Text(L"Test.Prog.1"));
    ASSERT_TRUE(MakeLink(c.link, victim));
    RegistrySnapshot before;
    AddSubtree(victim, &before);

    LogCapture log;
    EXPECT_EQ(c.unregistered, zel_wmi::UnregisterCOM(kTestClassId, LogCapture::Callback()));
    RegistrySnapshot after;
    AddSubtree(victim, &after);
    EXPECT_EQ(before, after);
    EXPECT_EQ(!c.unregistered, LinkExists(kTestClassKey));
    const auto entries = log.entries();
    if (c.unregistered) {
      EXPECT_TRUE(entries.empty());
    } else {
      ASSERT_EQ(1u, entries.size());
      EXPECT_EQ(4, entries[0].level);
      EXPECT_EQ(L"Not deleted, a registry link: Software\\Classes\\CLSID\\\\{5C1D2E3F-4A5B-4C6D-8E9F-A0B1C2D3E4F5}",
                entries[0].message);
    }
    RemoveLink(c.link);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, victim.c_str());
  }
}
