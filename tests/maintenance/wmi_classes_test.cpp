// MOF compilation, class deletion and the auto-recovery list, against the
// MOF compiler stand-in.

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "registration/wmi_classes.h"
#include "tests/common/log_capture.h"
#include "tests/maintenance/machine_state.h"
#include "tests/maintenance/standin_fixture.h"

namespace {

using namespace maintenance_test;

constexpr LONG kClassNotRegistered = static_cast<LONG>(0x80040154);

class WmiClassTest : public StandInTest {
 protected:
  void SetUp() override {
    StandInTest::SetUp();
    scratch_.File(L"fernwick_maintenance_test.mof", "");
  }

  // The one message logged, checked for level and function.
  static std::wstring OnlyMessage(const LogCapture& log, int level, const char* function) {
    const auto entries = log.entries();
    if (entries.size() != 1) return L"<" + std::to_wstring(entries.size()) + L" messages>";
    EXPECT_EQ(level, entries[0].level);
    EXPECT_EQ(function, entries[0].function);
    return entries[0].message;
  }

  ScratchFolder scratch_;
  const std::wstring mofPath_ = scratch_.Path(L"fernwick_maintenance_test.mof");
};

const std::vector<std::wstring> kStagedList = {
    L"C:\\Windows\\system32\\wbem\\cimwin32.mof",
    L"C:\\Program Files\\Fernwick\\fernwickroutersessionperf.MOF",
    L"D:\\Tools\\MyFernwickRouterSessionPerf.mof",
    L"C:\\\x30c7\x30fc\x30bf\\other.mof",
    L"C:\\Windows\\system32\\wbem\\wmipcima.mof",
};

}  // namespace

TEST_F(WmiClassTest, CompileFileJudgesEveryCompilerAnswer) {
  const std::wstring failed = L"Error [%d] MOF [" + mofPath_ + L"] compilation failed with error : ";
  struct Vector {
    HRESULT result;
    LONG phase;
    HRESULT status;
    LONG object;
    const wchar_t* message;  // after the common head; empty when it succeeds
  };
  const Vector vectors[] = {
      {S_OK, 0, S_OK, 0, L""},
      {S_FALSE, 0, S_OK, 0, L"no error, error code : 0, object number : 0"},
      {S_FALSE, 1, static_cast<HRESULT>(0x80041008), 0, L"argument error, error code : -2147217400, object number : 0"},
      {S_FALSE, 2, static_cast<HRESULT>(0x80044001), 3, L"parsing, error code : -2147205119, object number : 3"},
      {S_OK, 3, static_cast<HRESULT>(0x80041003), 7,
       L"errors occurred while storing the data, error code : -2147217405, object number : 7"},
      {S_OK, 9, S_OK, 1, L"unknown phase 9, error code : 0, object number : 1"},
      // A failure code is a failure even with the status record clean.
      {static_cast<HRESULT>(0x80041001), 0, S_OK, 0, L"no error, error code : 0, object number : 0"},
  };
  for (const auto& vector : vectors) {
    SCOPED_TRACE(vector.message);
    RegDeleteTreeW(HKEY_CURRENT_USER, mof_standin::kRequestsKey);
    Answer(S_OK, vector.result, vector.phase, vector.status, vector.object);
    LogCapture log;
    const bool compiled = zel_wmi::CompileMOFile(mofPath_.c_str(), LogCapture::Callback());
    EXPECT_EQ(*vector.message == L'\0', compiled);
    if (!compiled) {
      wchar_t head[512];
      swprintf(head, 512, failed.c_str(), static_cast<int>(vector.result));
      EXPECT_EQ(std::wstring(head) + vector.message, OnlyMessage(log, 1, "zel_wmi::CompileMOFile"));
    } else {
      EXPECT_TRUE(log.entries().empty());
    }
    const auto requests = RecordedRequests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(L"CompileFile", requests[0].text.at(L"Method"));
    EXPECT_EQ(mofPath_, requests[0].text.at(L"FileName"));
    EXPECT_EQ(0x108u, requests[0].numbers.at(L"Options"));
    EXPECT_EQ(0u, requests[0].numbers.at(L"ClassFlags"));
    EXPECT_EQ(0u, requests[0].numbers.at(L"InstanceFlags"));
    EXPECT_EQ(0u, requests[0].numbers.at(L"Credentials"));
  }
}

TEST_F(WmiClassTest, CompileFileRefusesWhatIsNoFileWithoutAskingTheCompiler) {
  const std::wstring folder = scratch_.path() + L"\\";
  const std::wstring missing = scratch_.Path(L"fernwick_no_such.mof");
  struct Vector {
    const wchar_t* path;
    std::wstring message;
  };
  const Vector vectors[] = {
      {nullptr, L"MOF file is empty"},
      {L"", L"MOF file is empty"},
      {missing.c_str(), L"Cannot find MOF file : " + missing},
      {folder.c_str(), L"Cannot find MOF file : " + folder},
  };
  for (const auto& vector : vectors) {
    LogCapture log;
    EXPECT_FALSE(zel_wmi::CompileMOFile(vector.path, LogCapture::Callback()));
    EXPECT_EQ(vector.message, OnlyMessage(log, 1, "zel_wmi::CompileMOFile"));
  }
  EXPECT_TRUE(RecordedRequests().empty());
}

TEST_F(WmiClassTest, CompilerThatCannotBeCreatedFailsBothOperations) {
  Answer(kClassNotRegistered, S_OK, 0, S_OK, 0);
  LogCapture compileLog;
  EXPECT_FALSE(zel_wmi::CompileMOFile(mofPath_.c_str(), LogCapture::Callback()));
  EXPECT_EQ(0u, OnlyMessage(compileLog, 1, "zel_wmi::CompileMOFile")
                    .find(L"Cannot initialize MOF Compiler COM interface for " + mofPath_ +
                          L", result: [-2147221164] Error "));
  LogCapture removeLog;
  EXPECT_FALSE(zel_wmi::RemoveClassFromWBEM(L"Win32_PerfRawData_Fernwick_Router_Session", LogCapture::Callback()));
  EXPECT_EQ(0u, OnlyMessage(removeLog, 1, "zel_wmi::RemoveClassFromWBEM")
                    .find(L"Cannot initialize MOF Compiler COM interface: -2147221164, Error "));
  EXPECT_TRUE(RecordedRequests().empty());
}

TEST_F(WmiClassTest, RemoveClassCompilesTheDeletionPragmaAsAWholeBuffer) {
  const std::string expected = R"(#pragma namespace("\\\\.\\Root\\CimV2"))"
                               "\n"
                               R"(#pragma deleteclass("Win32_SomeClass",FAIL))";
  const std::wstring longName(1100, L'A');
  const std::string longText = R"(#pragma namespace("\\\\.\\Root\\CimV2"))"
                               "\n"
                               R"(#pragma deleteclass(")" +
                               std::string(1100, 'A');
  LogCapture log;
  EXPECT_TRUE(zel_wmi::RemoveClassFromWBEM(L"Win32_SomeClass", LogCapture::Callback()));
  Answer(S_OK, S_FALSE, 2, static_cast<HRESULT>(0x80044001), 1);
  EXPECT_FALSE(zel_wmi::RemoveClassFromWBEM(longName.c_str(), LogCapture::Callback()));

  const auto requests = RecordedRequests();
  ASSERT_EQ(2u, requests.size());
  for (const auto& request : requests) {
    EXPECT_EQ(L"CompileBuffer", request.text.at(L"Method"));
    EXPECT_EQ(1024u, request.numbers.at(L"BufferSize"));
    EXPECT_EQ(0x108u, request.numbers.at(L"Options"));
    EXPECT_EQ(0u, request.numbers.at(L"Credentials"));
    ASSERT_EQ(1024u, request.buffer.size());
  }
  EXPECT_EQ(expected + std::string(1024 - expected.size(), '\0'), requests[0].buffer);
  // The long name is cut with the text at 1023 characters, the last byte
  // stays zero.
  EXPECT_EQ(longText.substr(0, 1023) + '\0', requests[1].buffer);

  // Neither class is in the catalogue: the list clean-up warns each time.
  const auto entries = log.entries();
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ(L"Unknown class name: [Win32_SomeClass]", entries[0].message);
  EXPECT_EQ(2, entries[0].level);
  EXPECT_EQ("RemoveClassFromRegistry", entries[0].function);
  EXPECT_EQ(L"Error [1] MOF compilation failed with error : parsing, error code : -2147205119, object number : 1",
            entries[1].message);
  EXPECT_EQ(L"Unknown class name: [" + longName + L"]", entries[2].message);
}

TEST_F(WmiClassTest, RemoveClassRefusesNamesThatAreNoIdentifier) {
  // Fullwidth look-alikes of S, a quote, a comma and a parenthesis, which a
  // best-fit narrowing would turn into the real ones.
  const wchar_t* const names[] = {nullptr,    L"", L"Win32_A\",FAIL)\n#pragma deleteclass(\"Win32_B", L"A\\B",
                                  L"A B",     L"Win32_\xFF33" L"ervice",
                                  L"Win32_\xFF33" L"ervice\xFF02\xFF0CNOFAIL\xFF09\n#pragma deleteclass(\xFF02Win32_B"};
  for (const wchar_t* name : names) {
    LogCapture log;
    EXPECT_FALSE(zel_wmi::RemoveClassFromWBEM(name, LogCapture::Callback()));
    const std::wstring expected = (name == nullptr || *name == L'\0')
                                      ? L"Class name is empty"
                                      : L"Invalid class name: [" + std::wstring(name) + L"]";
    EXPECT_EQ(expected, OnlyMessage(log, 1, "zel_wmi::RemoveClassFromWBEM"));
  }
  EXPECT_TRUE(RecordedRequests().empty());
}

TEST_F(WmiClassTest, FailedDeletionStillDropsTheMofFromAutoRecovery) {
  WriteRaw(kCimomKey, kAutoRecover, MultiString(kStagedList));
  Answer(S_OK, S_FALSE, 3, static_cast<HRESULT>(0x80041002), 1);
  EXPECT_FALSE(zel_wmi::RemoveClassFromWBEM(L"Win32_PerfRawData_Fernwick_Router_Session", nullptr));
  std::vector<std::wstring> expected = kStagedList;
  expected.erase(expected.begin() + 1);
  EXPECT_EQ(MultiString(expected), ReadRaw(kCimomKey, kAutoRecover));
}

TEST_F(WmiClassTest, AutoRecoveryListLosesOnlyTheClassesMofFile) {
  // The full path in another letter case goes; a longer file name ending in
  // the same text, and every other entry, stay in their order, untouched.
  WriteRaw(kCimomKey, kAutoRecover, MultiString(kStagedList));
  EXPECT_TRUE(RemoveClassFromRegistry("WIN32_PERFRAWDATA_FERNWICK_ROUTER_SESSION", nullptr));
  std::vector<std::wstring> expected = kStagedList;
  expected.erase(expected.begin() + 1);
  EXPECT_EQ(MultiString(expected), ReadRaw(kCimomKey, kAutoRecover));

  // Nothing to remove: the value is not rewritten (a rewrite would drop the
  // empty item).
  const RawValue withEmptyItem = MultiString({L"C:\\a.mof", L"", L"C:\\b.mof"});
  WriteRaw(kCimomKey, kAutoRecover, withEmptyItem);
  EXPECT_TRUE(RemoveClassFromRegistry("Win32_PerfRawData_Fernwick_Router_Session", nullptr));
  EXPECT_EQ(withEmptyItem, ReadRaw(kCimomKey, kAutoRecover));

  // A value of another type, an empty list, no list: success, untouched.
  const RawValue others[] = {Text(L"C:\\x\\FernwickRouterSessionPerf.mof"), MultiString({}), RawValue{}};
  for (const auto& other : others) {
    WriteRaw(kCimomKey, kAutoRecover, other);
    EXPECT_TRUE(RemoveClassFromRegistry("Win32_PerfRawData_Fernwick_Router_Session", nullptr));
    EXPECT_EQ(other, ReadRaw(kCimomKey, kAutoRecover));
  }
}

TEST_F(WmiClassTest, AutoRecoveryCleanUpRefusesUnknownAndEmptyNames) {
  WriteRaw(kCimomKey, kAutoRecover, MultiString(kStagedList));
  struct Vector {
    const char* name;
    int level;
    const wchar_t* message;
  };
  const Vector vectors[] = {
      {nullptr, 1, L"Class name is empty"},
      {"", 1, L"Class name is empty"},
      {"Win32_PerfRawData_Fernwick_Router", 2, L"Unknown class name: [Win32_PerfRawData_Fernwick_Router]"},
  };
  for (const auto& vector : vectors) {
    LogCapture log;
    EXPECT_FALSE(RemoveClassFromRegistry(vector.name, LogCapture::Callback()));
    EXPECT_EQ(vector.message, OnlyMessage(log, vector.level, "RemoveClassFromRegistry"));
  }
  EXPECT_EQ(MultiString(kStagedList), ReadRaw(kCimomKey, kAutoRecover));
}

TEST_F(WmiClassTest, ListTheReadWouldChangeIsLeftAsItWasAndFails) {
  // Beside the class's own entry: another program's entry the read would
  // cut, and an empty item, which ends the list for its readers, so a
  // rewrite without it would make the dormant entry after it a live one.
  std::vector<std::wstring> overlong = kStagedList;
  overlong.push_back(L"C:\\" + std::wstring(600, L'x') + L".mof");
  std::vector<std::wstring> withEnd = kStagedList;
  withEnd.insert(withEnd.end(), {L"", L"C:\\Dormant\\dormant.mof"});
  for (const auto& staged : {overlong, withEnd}) {
    const RawValue before = MultiString(staged);
    WriteRaw(kCimomKey, kAutoRecover, before);
    LogCapture log;
    EXPECT_FALSE(RemoveClassFromRegistry("Win32_PerfRawData_Fernwick_Router_Session", LogCapture::Callback()));
    EXPECT_EQ(L"Autorecover MOFs left unchanged: it cannot be written back as it was",
              OnlyMessage(log, 1, "RemoveClassFromRegistry"));
    EXPECT_EQ(before, ReadRaw(kCimomKey, kAutoRecover));
  }
}
