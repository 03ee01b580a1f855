// Event-source installation and the provider log's settings record.

#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "provider_log/event_source.h"
#include "provider_log/provider_log.h"
#include "tests/common/log_capture.h"
#include "tests/maintenance/machine_state.h"

namespace {

using namespace maintenance_test;

const std::wstring kApplicationLog = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
constexpr wchar_t kSource[] = L"FernwickMaintenanceTest";

std::wstring OwnExe() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

class EventSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, SourceKey().c_str());
    application_ = Snapshot();
  }
  void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, SourceKey().c_str()); }

  static std::wstring SourceKey() { return kApplicationLog + L"\\" + kSource; }
  // The Application log's key and every other source below it.
  static RegistrySnapshot Snapshot() {
    RegistrySnapshot snapshot;
    AddSubtree(kApplicationLog, &snapshot);
    WithoutKey(&snapshot, SourceKey());
    return snapshot;
  }
  // Only the warning about the empty module name may come.
  static void ExpectAtMostModuleWarning(const LogCapture& log) {
    for (const auto& entry : log.entries()) {
      EXPECT_EQ(2, entry.level);
      EXPECT_EQ(0u, entry.message.find(L"Could get module handle for:  - ")) << entry.message.c_str();
    }
  }

  RegistrySnapshot application_;
};

}  // namespace

TEST_F(EventSourceTest, InstallWritesTheSourceAndRewritesAnExistingOne) {
  LogCapture log;
  ASSERT_TRUE(InstallEventSource(kSource, LogCapture::Callback()));
  EXPECT_EQ(Number(7), ReadRaw(SourceKey(), L"TypesSupported"));
  EXPECT_EQ(Text(OwnExe()), ReadRaw(SourceKey(), L"EventMessageFile"));

  WriteRaw(SourceKey(), L"TypesSupported", Number(1));
  WriteRaw(SourceKey(), L"EventMessageFile", Text(L"C:\\elsewhere.dll"));
  WriteRaw(SourceKey(), L"CategoryCount", Number(3));
  ASSERT_TRUE(InstallEventSource(kSource, LogCapture::Callback()));
  EXPECT_EQ(Number(7), ReadRaw(SourceKey(), L"TypesSupported"));
  EXPECT_EQ(Text(OwnExe()), ReadRaw(SourceKey(), L"EventMessageFile"));
  EXPECT_EQ(Number(3), ReadRaw(SourceKey(), L"CategoryCount"));
  ExpectAtMostModuleWarning(log);
  EXPECT_EQ(application_, Snapshot());
}

TEST_F(EventSourceTest, InstallRefusesNamesThatAreNotExactlyOneSource) {
  // Another program's source, which a look-alike of its name must not reach.
  const std::wstring victim = kApplicationLog + L"\\FernwickVictimApp";
  WriteRaw(victim, L"EventMessageFile", Text(L"C:\\Victim\\messages.dll"));
  WriteRaw(victim, L"TypesSupported", Number(1));
  application_ = Snapshot();
  const std::wstring tooLong(240, L'S');
  // A fullwidth backslash and quote, and a script the code page lacks: no
  // exact narrow form, where a best-fit one would name another source or
  // one key shared by every such name.
  ASSERT_EQ(1252u, GetACP()) << "the names below are chosen for the Western code page";
  const wchar_t* const names[] = {nullptr,
                                  L"",
                                  L"Fernwick\\Nested",
                                  tooLong.c_str(),
                                  L"FernwickVictimApp\xFF3C",
                                  L"FernwickVictimApp\xFF02",
                                  L"\x0420\x043E\x0443\x0442\x0435\x0440"};
  for (const wchar_t* name : names) {
    LogCapture log;
    EXPECT_FALSE(InstallEventSource(name, LogCapture::Callback()));
    const auto entries = log.entries();
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(1, entries[0].level);
    EXPECT_EQ("InstallEventSource", entries[0].function);
    EXPECT_EQ(L"Invalid event source name: [" + std::wstring(name ? name : L"") + L"]", entries[0].message);
  }
  EXPECT_EQ(application_, Snapshot());
  EXPECT_FALSE(KeyExists(SourceKey()));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, victim.c_str());
}

TEST_F(EventSourceTest, StartLoggingFillsTheCallersSettingsOnly) {
  // The event-source setup may itself log (the empty module name); the
  // log's own threshold and folder stay as they were set.
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  ASSERT_EQ(0, SetLogLevelAndFolder(temp, 2));
  const std::wstring longName(300, L'L');
  struct Vector {
    const wchar_t* logName;
    int level;
    int result;
    int storedLevel;
    std::wstring storedName;
  };
  const Vector vectors[] = {
      {L"router", 5, 0, 5, L"router"},
      {L"router", -1, 0, -1, L"router"},
      {L"router", 17, 0, 17, L"router"},
      {L"router", 18, 0, 3, L"router"},
      {L"router", -2, 0, 3, L"router"},
      {longName.c_str(), 4, 0, 4, longName.substr(0, 254)},
      // No log name: the source is registered all the same.
      {L"", 5, -1, 0, L""},
      {nullptr, 5, -1, 0, L""},
  };
  for (const auto& vector : vectors) {
    SCOPED_TRACE(vector.storedName.substr(0, 20) + L" " + std::to_wstring(vector.level));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, SourceKey().c_str());
    LogSettings settings;
    std::memset(&settings, 0xAB, sizeof(settings));
    EXPECT_EQ(vector.result, StartLogging(vector.logName, vector.level, kSource, &settings));
    EXPECT_NE(nullptr, settings.eventSource);
    EXPECT_STREQ(kSource, settings.sourceName);
    EXPECT_EQ(vector.storedLevel, settings.level);
    EXPECT_EQ(vector.storedName, settings.logName);
    EXPECT_EQ(Text(OwnExe()), ReadRaw(SourceKey(), L"EventMessageFile"));
    if (settings.eventSource != nullptr) DeregisterEventSource(settings.eventSource);
  }
  EXPECT_EQ(2, GetLogLevel());
  EXPECT_EQ(temp, GetLogFolder());
}

TEST_F(EventSourceTest, StartLoggingWithoutSourceOrRecordDoesNothing) {
  LogSettings settings;
  std::memset(&settings, 0xAB, sizeof(settings));
  LogSettings untouched = settings;
  EXPECT_EQ(-1, StartLogging(L"router", 3, nullptr, &settings));
  EXPECT_EQ(-1, StartLogging(L"router", 3, L"", &settings));
  EXPECT_EQ(0, std::memcmp(&untouched, &settings, sizeof(settings)));
  EXPECT_EQ(-1, StartLogging(L"router", 3, kSource, nullptr));
  EXPECT_FALSE(KeyExists(SourceKey()));
}
