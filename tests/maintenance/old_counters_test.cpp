// The clean-up of superseded counter providers on a staged machine: the
// prefix's registry and file system get what the old products left, plus
// neighbours that belong to others; afterwards exactly the old products'
// part is gone.

#include <algorithm>
#include <cwctype>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include "registration/old_counters.h"
#include "tests/common/log_capture.h"
#include "tests/maintenance/machine_state.h"
#include "tests/maintenance/standin_fixture.h"

namespace {

using namespace maintenance_test;

const std::wstring kUserData = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData";
const std::wstring kFirstUser = kUserData + L"\\S-1-5-18";
const std::wstring kSecondUser = kUserData + L"\\S-1-5-21-1004";
const std::wstring kComponents = kFirstUser + L"\\Components";
const std::wstring kSharedDlls = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
const std::wstring kRouterClass = L"Software\\Classes\\CLSID\\{9A2BBBF9-A024-4699-A0C4-940D165EDB3A}";
const std::wstring kAgentClass = L"Software\\Classes\\CLSID\\{C6DD8E94-1D5B-4952-A8B2-0E6641562D80}";
const std::wstring kNeighbourClass = L"Software\\Classes\\CLSID\\{9A2BBBF9-A024-4699-A0C4-940D165EDB3B}";
const wchar_t* const kControlSets[] = {L"SYSTEM\\ControlSet001", L"SYSTEM\\ControlSet002",
                                       L"SYSTEM\\CurrentControlSet"};

// Files of the old products and of their neighbours.
const std::wstring kRouterDll = L"C:\\FernwickStaged\\Router\\FernwickRouterPerf.dll";
const std::wstring kRouterDllElsewhere = L"C:\\FernwickStaged\\Router2\\FernwickRouterPerf.dll";
const std::wstring kRouterFallback = L"C:\\Program Files\\Halvorin\\QAV\\Router\\FernwickRouterPerf.dll";
const std::wstring kRouterConfig = L"C:\\FernwickStaged\\Router\\FernwickRouterPerf.dll.config";
const std::wstring kAgentDll = L"C:\\FernwickStaged\\Agent\\QAVPerfInfo.dll";
const std::wstring kOtherDll = L"C:\\FernwickStaged\\Other\\other.dll";

std::wstring SystemAgentDll() {
  wchar_t windows[MAX_PATH];
  GetEnvironmentVariableW(L"windir", windows, MAX_PATH);
  return std::wstring(windows) + L"\\system32\\QAVPerfInfo.dll";
}

// A component key with values in the given order.
void StageComponent(const std::wstring& user, const wchar_t* component,
                    const std::vector<std::pair<const wchar_t*, std::wstring>>& values) {
  for (const auto& value : values) WriteRaw(user + L"\\Components\\" + component, value.first, Text(value.second));
}

void StageService(const wchar_t* service) {
  for (const wchar_t* set : kControlSets) {
    const std::wstring root = std::wstring(set) + L"\\Services\\" + service;
    WriteRaw(root, L"ImagePath", Text(L"C:\\FernwickStaged\\service.exe"));
    WriteRaw(root + L"\\Parameters", L"Port", Number(4711));
    WriteRaw(root + L"\\Performance", L"Library", Text(L"perf.dll"));
    WriteRaw(root + L"\\Performance", L"First Counter", Number(3000));
    WriteRaw(root + L"\\Performance\\Extra", L"Flag", Number(1));
  }
}

void StageClass(const std::wstring& key, const std::wstring& file) {
  WriteRaw(key, nullptr, Text(L"Old counters"));
  WriteRaw(key + L"\\InprocServer32", nullptr, Text(file));
  WriteRaw(key + L"\\InprocServer32", L"ThreadingModel", Text(L"Both"));
  WriteRaw(key + L"\\ProgID", nullptr, Text(L"Old.Counters.1"));
}

// Names of the SharedDLLs values this test adds, in the order added.
std::vector<std::wstring> SharedDllNames() {
  std::wstring system = SystemAgentDll();
  std::transform(system.begin(), system.end(), system.begin(), ::towupper);
  return {kAgentDll, L"C:\\Program Files\\Other\\QAVPerfInfo.dll", kOtherDll, kAgentDll + L".bak", system};
}

const std::vector<std::wstring> kStagedMofs = {
    L"C:\\Windows\\system32\\wbem\\cimwin32.mof", L"C:\\FernwickStaged\\Agent\\QAVPerfInfo.mof",
    L"C:\\FernwickStaged\\Agent\\qavperfinfoformatted.mof", L"C:\\FernwickStaged\\Router\\FernwickRouterSessionPerf.mof"};

std::vector<std::wstring> StagedFiles() {
  return {kRouterDll, kRouterDllElsewhere, kRouterFallback, kRouterConfig, kAgentDll, kOtherDll, SystemAgentDll()};
}

RegistrySnapshot Snapshot() {
  RegistrySnapshot snapshot;
  AddSubtree(kUserData, &snapshot);
  for (const wchar_t* set : kControlSets) {
    AddSubtree(std::wstring(set) + L"\\Services\\Fernwick Router", &snapshot);
    AddSubtree(std::wstring(set) + L"\\Services\\Fernwick Server", &snapshot);
  }
  for (const auto& key : {kRouterClass, kAgentClass, kNeighbourClass, kSharedDlls, std::wstring(kCimomKey)}) {
    AddSubtree(key, &snapshot);
  }
  return snapshot;
}

std::map<std::wstring, bool> FileStates() {
  std::map<std::wstring, bool> states;
  for (const auto& file : StagedFiles()) states[file] = FileExists(file);
  return states;
}

class OldCountersTest : public StandInTest {
 protected:
  void SetUp() override {
    StandInTest::SetUp();
    if (IsSkipped()) return;
    Stage();
  }

  void Stage() {
    TearDownStage();
    for (const auto& file : StagedFiles()) StageFile(file);

    StageComponent(kFirstUser, L"0A10000000000000000000000000000A", {{L"00A", kRouterConfig}});
    StageComponent(kFirstUser, L"0B10000000000000000000000000000B", {{L"00B", kOtherDll}, {L"00C", kRouterDll}});
    StageComponent(kFirstUser, L"0C10000000000000000000000000000C", {{L"00D", kRouterDllElsewhere}});
    StageComponent(kFirstUser, L"0D10000000000000000000000000000D", {{L"00E", kAgentDll}});
    StageComponent(kSecondUser, L"0010000000000000000000000000000F", {{L"00F", kRouterDll}, {L"00G", kAgentDll}});
    StageService(L"Fernwick Router");
    StageService(L"Fernwick Server");
    StageClass(kRouterClass, kRouterDll);
    StageClass(kAgentClass, kAgentDll);
    StageClass(kNeighbourClass, kOtherDll);
    for (const auto& name : SharedDllNames()) WriteRaw(kSharedDlls, name.c_str(), Number(1));
    WriteRaw(kCimomKey, kAutoRecover, MultiString(kStagedMofs));

    // Only the first user key is searched: the staged one must be first.
    HKEY userData = nullptr;
    wchar_t first[256] = {};
    DWORD size = 256;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUserData.c_str(), 0, KEY_READ, &userData));
    RegEnumKeyExW(userData, 0, first, &size, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(userData);
    ASSERT_STREQ(L"S-1-5-18", first);
    before_ = Snapshot();
    files_ = FileStates();
  }

  void TearDown() override {
    if (!IsSkipped()) TearDownStage();
    StandInTest::TearDown();
  }

  static void TearDownStage() {
    for (const auto& key : {kFirstUser, kSecondUser, kRouterClass, kAgentClass, kNeighbourClass}) {
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    }
    for (const wchar_t* set : kControlSets) {
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(set) + L"\\Services\\Fernwick Router").c_str());
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(set) + L"\\Services\\Fernwick Server").c_str());
    }
    for (const auto& name : SharedDllNames()) RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSharedDlls.c_str(), name.c_str());
    for (const auto& file : StagedFiles()) RemoveFile(file);
  }

  // The state before without the old product's component, performance
  // keys and COM class.
  RegistrySnapshot BeforeWithout(const wchar_t* component, const wchar_t* service, const std::wstring& classKey) {
    RegistrySnapshot expected = before_;
    WithoutKey(&expected, kComponents + L"\\" + component);
    for (const wchar_t* set : kControlSets) {
      WithoutKey(&expected, std::wstring(set) + L"\\Services\\" + service + L"\\Performance");
    }
    WithoutKey(&expected, classKey);
    return expected;
  }

  // The component deletion and the performance keys' reports.
  static std::vector<std::wstring> FirstMessages(const wchar_t* dll, const wchar_t* component,
                                                 const wchar_t* service) {
    std::vector<std::wstring> messages = {L"Delete " + std::wstring(dll) + L" from [" + kComponents + L"\\" +
                                          component + L"]"};
    for (const wchar_t* set : kControlSets) {
      messages.push_back(std::wstring(set) + L"\\Services\\" + service + L"\\Performance\n");
    }
    return messages;
  }

  static void ExpectMessages(const LogCapture& log, const char* function, const std::vector<std::wstring>& expected) {
    std::vector<std::wstring> messages;
    for (const auto& entry : log.entries()) {
      EXPECT_EQ(4, entry.level) << entry.function;
      EXPECT_EQ(function, entry.function);
      messages.push_back(entry.message);
    }
    EXPECT_EQ(expected, messages);
  }

  RegistrySnapshot before_;
  std::map<std::wstring, bool> files_;
};

}  // namespace

TEST_F(OldCountersTest, RouterCleanUpRemovesExactlyTheOldRoutersPart) {
  LogCapture log;
  EXPECT_TRUE(zel_wmi::RemoveOldRouterCounters(LogCapture::Callback()));

  // The first component that names the DLL itself goes; the one naming a
  // longer file name before it, the later one, the second user's stay.
  EXPECT_EQ(BeforeWithout(L"0B10000000000000000000000000000B", L"Fernwick Router", kRouterClass), Snapshot());

  auto files = files_;
  files[kRouterDll] = false;
  EXPECT_EQ(files, FileStates());

  std::vector<std::wstring> messages =
      FirstMessages(L"FernwickRouterPerf.dll", L"0B10000000000000000000000000000B", L"Fernwick Router");
  messages.push_back(L"Removed COM registration of FernwickRouterPerf.dll");
  ExpectMessages(log, "zel_wmi::RemoveOldRouterCounters", messages);
  EXPECT_TRUE(RecordedRequests().empty());
}

TEST_F(OldCountersTest, AgentCleanUpRemovesExactlyTheOldAgentsPart) {
  LogCapture log;
  EXPECT_TRUE(zel_wmi::RemoveOldAgentCounters(LogCapture::Callback()));

  RegistrySnapshot expected = BeforeWithout(L"0D10000000000000000000000000000D", L"Fernwick Server", kAgentClass);
  // The reference counts of the DLL's own paths; the same file name in
  // another folder, or a longer name, belongs to someone else.
  const std::vector<std::wstring> shared = SharedDllNames();
  expected.erase(kSharedDlls + L"\\|" + shared[0]);
  expected.erase(kSharedDlls + L"\\|" + shared[4]);
  expected[std::wstring(kCimomKey) + L"\\|" + kAutoRecover] = MultiString({kStagedMofs[0], kStagedMofs[3]});
  EXPECT_EQ(expected, Snapshot());

  auto files = files_;
  files[kAgentDll] = false;
  EXPECT_EQ(files, FileStates());

  std::vector<std::wstring> messages =
      FirstMessages(L"QAVPerfInfo.dll", L"0D10000000000000000000000000000D", L"Fernwick Server");
  messages.push_back(L"Removed shared DLL entry [" + shared[0] + L"]");
  messages.push_back(L"Removed shared DLL entry [" + shared[4] + L"]");
  messages.push_back(L"Removed COM registration of QAVPerfInfo.dll");
  ExpectMessages(log, "zel_wmi::RemoveOldAgentCounters", messages);

  // Both WMI classes, formatted first.
  const auto requests = RecordedRequests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_NE(std::string::npos,
            requests[0].buffer.find("deleteclass(\"Win32_PerfFormattedData_FernwickServer_WMIObjects\",FAIL)"));
  EXPECT_NE(std::string::npos,
            requests[1].buffer.find("deleteclass(\"Win32_PerfRawData_FernwickServer_WMIObjects\",FAIL)"));
}

TEST_F(OldCountersTest, MachineWithoutTheOldProductsIsLeftAlone) {
  TearDownStage();
  WriteRaw(kCimomKey, kAutoRecover, MultiString({kStagedMofs[0]}));
  StageFile(kRouterFallback);
  StageFile(SystemAgentDll());
  const RegistrySnapshot before = Snapshot();
  LogCapture log;
  EXPECT_TRUE(zel_wmi::RemoveOldRouterCounters(LogCapture::Callback()));
  EXPECT_TRUE(zel_wmi::RemoveOldAgentCounters(LogCapture::Callback()));
  EXPECT_TRUE(log.entries().empty());
  EXPECT_EQ(before, Snapshot());
  EXPECT_TRUE(FileExists(kRouterFallback));
  EXPECT_TRUE(FileExists(SystemAgentDll()));
}

TEST_F(OldCountersTest, FallbackPathsServeWhenTheRecordedFileIsGone) {
  RemoveFile(kRouterDll);
  RemoveFile(kAgentDll);
  EXPECT_TRUE(zel_wmi::RemoveOldRouterCounters(nullptr));
  EXPECT_TRUE(zel_wmi::RemoveOldAgentCounters(nullptr));
  EXPECT_FALSE(FileExists(kRouterFallback));
  EXPECT_FALSE(FileExists(SystemAgentDll()));
  EXPECT_TRUE(FileExists(kRouterDllElsewhere));
  EXPECT_TRUE(FileExists(kOtherDll));
}

TEST_F(OldCountersTest, FilesThatCannotBeDeletedAreReportedAndPassedOver) {
  // The recorded router file is held open: passed over in silence. The
  // agent's recorded file is gone and its system copy read-only: both
  // fallback deletions fail and are reported.
  HANDLE held = CreateFileW(kRouterDll.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  RemoveFile(kAgentDll);
  SetFileAttributesW(SystemAgentDll().c_str(), FILE_ATTRIBUTE_READONLY);
  LogCapture log;
  EXPECT_TRUE(zel_wmi::RemoveOldRouterCounters(LogCapture::Callback()));
  EXPECT_TRUE(zel_wmi::RemoveOldAgentCounters(LogCapture::Callback()));
  CloseHandle(held);
  EXPECT_TRUE(FileExists(kRouterDll));
  EXPECT_TRUE(FileExists(SystemAgentDll()));
  EXPECT_TRUE(FileExists(kRouterFallback));

  std::vector<std::wstring> failures;
  for (const auto& entry : log.entries()) {
    if (entry.message.rfind(L"Cannot delete", 0) == 0) failures.push_back(entry.message);
  }
  ASSERT_EQ(2u, failures.size());
  EXPECT_EQ(L"Cannot delete: " + SystemAgentDll(), failures[0]);
  EXPECT_EQ(0u, failures[1].find(L"Cannot delete: C:\\Windows\\system32\\QAVPerfInfo.dll, 5: ")) << failures[1];
  // The procedure went on to the end: the agent's classes were removed.
  EXPECT_EQ(2u, RecordedRequests().size());
  EXPECT_FALSE(KeyExists(kAgentClass));
}

// Links an administrator may find in the old router's keys, each into
// another program's key: the clean-up still removes the old router's part,
// never follows a link, and the other program's keys keep every byte.
TEST_F(OldCountersTest, LinksLeadNoDeletionIntoAnotherProgramsKeys) {
  const std::wstring victim = L"SOFTWARE\\FernwickVictimApp";
  const std::wstring performance[] = {std::wstring(kControlSets[0]) + L"\\Services\\Fernwick Router\\Performance",
                                      std::wstring(kControlSets[1]) + L"\\Services\\Fernwick Router\\Performance"};
  const struct {
    std::wstring link;
    std::wstring target;
    bool linkIsDeletionRoot;
  } cases[] = {
      {performance[0] + L"\\Link", victim + L"\\Config", false},
      {performance[1], victim, true},
      {kRouterClass + L"\\Link", victim + L"\\Config", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "link at " << std::string(c.link.begin(), c.link.end()));
    Stage();
    WriteRaw(victim, L"Name", Text(L"victim"));
    WriteRaw(victim + L"\\Config", L"Path", Text(L"C:\\Victim\\app.exe"));
    WriteRaw(victim + L"\\Config\\Deeper", L"Flag", Number(1));
    if (c.linkIsDeletionRoot) RegDeleteTreeW(HKEY_LOCAL_MACHINE, c.link.c_str());
    ASSERT_TRUE(MakeLink(c.link, c.target));
    RegistrySnapshot victimBefore;
    AddSubtree(victim, &victimBefore);

    LogCapture log;
    EXPECT_TRUE(zel_wmi::RemoveOldRouterCounters(LogCapture::Callback()));
    RegistrySnapshot victimAfter;
    AddSubtree(victim, &victimAfter);
    EXPECT_EQ(victimBefore, victimAfter);

    std::vector<std::wstring> messages =
        FirstMessages(L"FernwickRouterPerf.dll", L"0B10000000000000000000000000000B", L"Fernwick Router");
    messages.push_back(L"Removed COM registration of FernwickRouterPerf.dll");
    if (c.linkIsDeletionRoot) {
      // Left with a word; the other two performance keys still go.
      messages[2] = L"Not deleted, a registry link: " + c.link;
      EXPECT_TRUE(LinkExists(c.link));
      RemoveLink(c.link);
      EXPECT_FALSE(KeyExists(performance[0]));
    } else {
      EXPECT_FALSE(LinkExists(c.link));
      EXPECT_EQ(BeforeWithout(L"0B10000000000000000000000000000B", L"Fernwick Router", kRouterClass), Snapshot());
    }
    ExpectMessages(log, "zel_wmi::RemoveOldRouterCounters", messages);
    EXPECT_FALSE(KeyExists(kRouterClass));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, victim.c_str());
  }
}

// The Installer component that recorded the DLL is gone by then: a DLL
// left for want of an unregistration is named in the log.
TEST_F(OldCountersTest, RecordedDllIsLeftWithAMessageWhenItsClassIsNotRemoved) {
  const std::wstring victim = L"SOFTWARE\\FernwickVictimApp";
  for (const bool classIsLink : {false, true}) {
    SCOPED_TRACE(classIsLink ? "class key a link" : "class key gone");
    Stage();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRouterClass.c_str());
    if (classIsLink) {
      WriteRaw(victim, L"Name", Text(L"victim"));
      ASSERT_TRUE(MakeLink(kRouterClass, victim));
    }
    LogCapture log;
    EXPECT_TRUE(zel_wmi::RemoveOldRouterCounters(LogCapture::Callback()));
    EXPECT_TRUE(FileExists(kRouterDll));
    EXPECT_TRUE(FileExists(kRouterFallback));
    const auto entries = log.entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(L"Left in place, no registration removed: " + kRouterDll, entries.back().message);
    EXPECT_EQ(classIsLink, LinkExists(kRouterClass));
    RemoveLink(kRouterClass);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, victim.c_str());
  }
}

// A key inside a performance key that the clean-up may not open: that key
// stays and the failure is logged; the other performance keys still go.
TEST_F(OldCountersTest, PerformanceKeyThatCannotBeDeletedIsReported) {
  const std::wstring performance = std::wstring(kControlSets[0]) + L"\\Services\\Fernwick Router\\Performance";
  const std::wstring locked = performance + L"\\Locked";
  WriteRaw(locked, L"Flag", Number(1));
  const auto setAccess = [&locked](const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    HKEY key = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, locked.c_str(), 0, WRITE_DAC, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor));
    RegCloseKey(key);
    LocalFree(descriptor);
  };
  setAccess(L"D:(D;;KA;;;WD)");
  LogCapture log;
  EXPECT_TRUE(zel_wmi::RemoveOldRouterCounters(LogCapture::Callback()));
  setAccess(L"D:(A;;KA;;;WD)");
  EXPECT_TRUE(KeyExists(locked));
  EXPECT_FALSE(KeyExists(std::wstring(kControlSets[1]) + L"\\Services\\Fernwick Router\\Performance"));
  size_t failures = 0;
  for (const auto& entry : log.entries()) {
    if (entry.level == 1 && entry.message.find(performance) != std::wstring::npos) ++failures;
  }
  EXPECT_EQ(1u, failures);
}
