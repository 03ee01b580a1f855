#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/logging/debug_log.h"
#include "support/logging/debug_logger.h"
#include "tests/common/recording_sink.h"

namespace {

// A readable page followed by an unreadable one, so that a string can run
// off the end of readable memory.
class PageEdge {
 public:
  PageEdge() {
    base_ = static_cast<char*>(VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(base_ + kPage, kPage, PAGE_NOACCESS, &old);
  }
  ~PageEdge() { VirtualFree(base_, 0, MEM_RELEASE); }
  PageEdge(const PageEdge&) = delete;
  PageEdge& operator=(const PageEdge&) = delete;

  // Unterminated text that reaches the unreadable page.
  const char* NarrowRun() {
    memset(base_, 'A', kPage);
    return base_ + kPage - 16;
  }
  const void* Unreadable() const { return base_ + kPage; }
  void MakeReadOnly() {
    DWORD old = 0;
    VirtualProtect(base_, kPage, PAGE_READONLY, &old);
  }
  void* Readable() const { return base_; }

 private:
  static constexpr size_t kPage = 4096;
  char* base_;
};

// The platform formatter's way of printing a pointer: 16 upper-case digits.
std::wstring Address(const void* pointer) {
  wchar_t text[20];
  swprintf(text, 20, L"%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
  return text;
}

std::wstring Invalid(const std::wstring& fields) { return L"Invalid log entry - " + fields; }

TEST(DebugLog, ChecksEveryConsumedArgumentBeforeFormatting) {
  PageEdge edge;
  const void* bad = edge.Unreadable();
  const std::wstring badAddress = Address(bad);
  const std::wstring longText(1500, L'x');
  const std::string half(600, 'h');
  const struct {
    const char* name;
    std::function<void()> log;
    std::wstring expected;
  } cases[] = {
      {"null wide string", [] { DebugLog(3, L"[%s]", static_cast<const wchar_t*>(nullptr)); }, L"[(null)]"},
      {"unreadable wide string", [&] { DebugLog(3, L"%s", bad); },
       Invalid(L"Level:3, EventId:0(0x00000000), Format:%s, User:<null>, ArgCount:1, Args:arg[1](wchar_t*)=BAD_PTR(" +
               badAddress + L")")},
      {"event id and the failing argument after good ones",
       [&] { DebugLogId(3, 0xC0FF1234, L"%d %hu %c %s %S", -7, 65535 + 3, L'q', L"ok", bad); },
       Invalid(L"Level:3, EventId:4660(0xC0FF1234), Format:%d %hu %c %s %S, User:<null>, ArgCount:5, "
               L"Args:arg[1](int)=-7 arg[2](unsigned short int)=2 arg[3](wchar_t)=q arg[4](wchar_t*)=ok "
               L"arg[5](char*)=BAD_PTR(" + badAddress + L")")},
      {"narrow call: s is narrow, S is wide", [] { DebugLog(3, "%s and %S", "narrow", L"wide"); }, L"narrow and wide"},
      {"wide call: s is wide, S is narrow", [] { DebugLog(3, L"%s and %S", L"wide", "narrow"); }, L"wide and narrow"},
      {"narrow string running into unreadable memory", [&] { DebugLog(3, "%s", edge.NarrowRun()); },
       Invalid(L"Level:3, EventId:0(0x00000000), Format:%s, User:<null>, ArgCount:1, Args:arg[1](char*)=BAD_PTR(" +
               Address(edge.NarrowRun()) + L")")},
      {"wide string longer than the entry, cut to it", [&] { DebugLog(3, L"<%s>", longText.c_str()); },
       L"<" + std::wstring(1022, L'x')},
      {"single percent at the end", [] { DebugLog(3, L"50%"); },
       Invalid(L"Level:3, EventId:0(0x00000000), Format:50%, User:<null>, ArgCount:0, Args:<null>")},
      {"doubled percent at the end", [] { DebugLog(3, L"50%%"); }, L"50%"},
      {"I32 prefix", [] { DebugLog(3, L"%I32d", 1); },
       Invalid(L"Level:3, EventId:0(0x00000000), Format:%I32d, User:<null>, ArgCount:0, Args:<null>")},
      {"ll prefix", [] { DebugLog(3, L"%lld", 1LL); },
       Invalid(L"Level:3, EventId:0(0x00000000), Format:%lld, User:<null>, ArgCount:0, Args:<null>")},
      {"unknown conversion after an argument", [] { DebugLog(3, L"%d %y", 7); },
       Invalid(L"Level:3, EventId:0(0x00000000), Format:%d %y, User:<null>, ArgCount:1, Args:arg[1](int)=7")},
      {"I64 consumes one 64-bit integer", [] { DebugLog(3, L"%I64d|%d", int64_t{1} << 40, 5); }, L"1099511627776|5"},
      {"asterisks consume two ints before the double", [] { DebugLog(3, L"[%*.*f]", 8, 2, 3.14159); }, L"[    3.14]"},
      {"null format", [] { DebugLog(3, static_cast<const wchar_t*>(nullptr)); },
       Invalid(L"Level:3, EventId:0(0x00000000), Format:<null>, User:<null>, ArgCount:0, Args:<null>")},
      {"unreadable narrow format", [&] { DebugLog(3, static_cast<const char*>(bad)); },
       Invalid(L"Level:3, EventId:0(0x00000000), Format:BAD_PTR(" + badAddress +
               L"), User:<null>, ArgCount:0, Args:<null>")},
      {"unreadable user tag", [&] { DebugLogUser(static_cast<const wchar_t*>(bad), 2, L"%d", 4); },
       Invalid(L"Level:2, EventId:0(0x00000000), Format:%d, User:BAD_PTR(" + badAddress +
               L"), ArgCount:1, Args:arg[1](int)=4")},
      {"level 4 is neither checked nor logged", [&] { DebugLog(4, L"%s", bad); }, L""},
      {"output cut at 1023 characters", [&] { DebugLog(3, "%s%s", half.c_str(), half.c_str()); },
       std::wstring(1023, L'h')},
  };
  for (const auto& c : cases) {
    RecordingSink sink;
    c.log();
    const auto texts = sink.texts();
    if (c.expected.empty()) {
      EXPECT_TRUE(texts.empty()) << c.name;
    } else {
      EXPECT_EQ(texts, std::vector<std::wstring>{c.expected}) << c.name;
    }
  }
}

TEST(DebugLog, AConversionThatStoresNeedsWritableMemory) {
  PageEdge edge;
  edge.MakeReadOnly();
  RecordingSink sink;
  DebugLog(3, L"%n", edge.Readable());
  EXPECT_EQ(sink.texts(), std::vector<std::wstring>{Invalid(
                              L"Level:3, EventId:0(0x00000000), Format:%n, User:<null>, ArgCount:1, "
                              L"Args:arg[1](int*)=BAD_PTR(" + Address(edge.Readable()) + L")")});
}

// A format with far more conversions than arguments, logged at the very top
// of a fresh thread's stack, reads on past the stack's end: refused, not
// faulted on.
TEST(DebugLog, MoreConversionsThanTheStackHoldsNeverFault) {
  RecordingSink sink;
  std::wstring format;
  for (int i = 0; i < 500; ++i) format += L"%d";
  HANDLE thread = CreateThread(
      nullptr, 0, [](void* argument) -> DWORD {
        DebugLog(3, static_cast<const wchar_t*>(argument));
        return 0;
      },
      const_cast<wchar_t*>(format.c_str()), 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 1;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(sink.texts().size(), 1u);
}

TEST(DebugLog, NothingIsLoggedWhileTheLoggerIsNotReady) {
  PageEdge edge;
  ASSERT_FALSE(IsDebugLoggerReady());
  DebugLog(3, L"%s", edge.Unreadable());  // checked, and its report dropped too
  DebugLog(3, L"fine");
  size_t remaining = 0;
  EXPECT_EQ(GetDebugLogger().TakeOldestEntry(remaining), nullptr);
}

TEST(SafeFormat, FormatsCutAndTerminatesOrLeavesTheBufferAlone) {
  RecordingSink sink;
  wchar_t buffer[10];
  wmemset(buffer, L'#', 10);
  EXPECT_EQ(SafeFormat(buffer, 10, L"%s", L"0123456789"), -1);
  EXPECT_STREQ(buffer, L"012345678");
  EXPECT_EQ(SafeFormat(buffer, 10, L"%d-%s", 42, L"ab"), 5);
  EXPECT_STREQ(buffer, L"42-ab");

  PageEdge edge;
  wmemset(buffer, L'#', 10);
  EXPECT_EQ(SafeFormat(buffer, 10, L"%s", edge.Unreadable()), 0);
  EXPECT_EQ(buffer[0], L'#');
  EXPECT_EQ(sink.StartingWith(L"Invalid log entry - Level:3,").size(), 1u);
  EXPECT_EQ(SafeFormat(nullptr, 10, L"x"), -1);
  EXPECT_TRUE(sink.StartingWith(L"Invalid").size() == 1u) << "the well-formed calls report nothing";
}

TEST(ThrottleLevel, GivesTheDueLevelOncePerPeriodToOneThread) {
  EXPECT_EQ(ThrottleLevel(nullptr, 1, 4, 0), 1);
  int64_t lastTime = 0;
  EXPECT_EQ(ThrottleLevel(&lastTime, 1, 4, 0), 1);
  EXPECT_NE(lastTime, 0);
  EXPECT_EQ(ThrottleLevel(&lastTime, 1, 4, 0), 4) << "within the default 60 seconds";
  lastTime -= 61;
  EXPECT_EQ(ThrottleLevel(&lastTime, 1, 4, 0), 1);
  lastTime -= 5;
  EXPECT_EQ(ThrottleLevel(&lastTime, 1, 4, 10), 4);
  EXPECT_EQ(ThrottleLevel(&lastTime, 1, 4, 3), 1);

  int64_t shared = 0;
  std::atomic<int> dueCount{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) dueCount += ThrottleLevel(&shared, 1, 0, 0);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(dueCount, 1);
}

TEST(LogReportLine, LogsTheTextAtItsLevelAndRefusesNull) {
  RecordingSink sink;
  EXPECT_EQ(LogReportLine(3, 0, 0, 0, nullptr, "f", 1, nullptr), 0);
  EXPECT_EQ(LogReportLine(3, 0, 0, 0, L"[ENV] 100% sure", "f", 1, nullptr), 1);
  EXPECT_EQ(LogReportLine(9, 0, 0, 0, L"too quiet", "f", 1, nullptr), 1);
  EXPECT_EQ(sink.texts(), std::vector<std::wstring>{L"[ENV] 100% sure"});
}

}  // namespace
