#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/logging/debug_log.h"
#include "support/logging/debug_logger.h"

namespace {

// The platform's local time in 100 ns units.
uint64_t LocalNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  FILETIME file;
  SystemTimeToFileTime(&now, &file);
  return (static_cast<uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

// Puts the process-wide logger's levels and readiness back after a test.
class ProcessLogger : public ::testing::Test {
 protected:
  void TearDown() override {
    logger().SetReady(false);
    SetLevels(3, 2, 2, 3);
    size_t remaining = 0;
    while (logger().TakeOldestEntry(remaining) != nullptr) {
    }
  }
  static DebugLogger& logger() { return GetDebugLogger(); }
  static void SetLevels(int32_t file, int32_t eventLog, int32_t syslog, int32_t console) {
    logger().SetFileOutputLevel(file);
    logger().SetEventLogOutputLevel(eventLog);
    logger().SetSysLogOutputLevel(syslog);
    logger().SetConsoleOutputLevel(console);
  }
};

TEST_F(ProcessLogger, StartsNotReadyWithTheDefaultLevels) {
  EXPECT_FALSE(IsDebugLoggerReady());
  EXPECT_TRUE(HasNoSink());
  EXPECT_EQ(GetDebugLogLevel(), 3);
  EXPECT_EQ(GetEventLogLevel(), 2);
  EXPECT_EQ(GetSysLogLevel(), 2);
  EXPECT_EQ(GetConsoleLogLevel(), 3);
  EXPECT_EQ(logger().GetHighestLevel(), 3);
  EXPECT_EQ(GetEventLogTimeThreshold(), 60);

  DebugLog(1, L"dropped %d", 1);
  size_t remaining = 7;
  EXPECT_EQ(logger().TakeOldestEntry(remaining), nullptr);
  EXPECT_EQ(remaining, 0u);
}

TEST_F(ProcessLogger, TheHighestLevelIsTheLargestOutputLevelAndFiveAlwaysPasses) {
  SetLevels(1, 2, 0, 4);
  EXPECT_EQ(logger().GetHighestLevel(), 4);
  const struct {
    int32_t level;
    bool enabled;
  } cases[] = {{-1, true}, {0, true}, {4, true}, {5, true}, {6, false}, {15, false}, {16, false}};
  for (const auto& c : cases) EXPECT_EQ(IsLevelEnabled(c.level), c.enabled) << c.level;
  SetLevels(0, 0, 0, 0);
  EXPECT_FALSE(IsLevelEnabled(4));
  EXPECT_TRUE(IsLevelEnabled(5));
}

TEST_F(ProcessLogger, AReadyLoggerQueuesOwnedEntriesInOrderWithTheirFields) {
  logger().SetReady(true);
  const uint64_t before = LocalNow();
  DebugLogUserId(L"tag", 2, 0xC0FF1234, L"first %d \t\r\n", 1);
  DebugLogUser("narrow tag", 3, "second %s  ", "entry");
  DebugLog(4, L"filtered out");
  DebugLog(5, L"always");
  size_t remaining = 0;
  auto first = logger().TakeOldestEntry(remaining);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(remaining, 2u);
  EXPECT_EQ(first->eventId, 0xC0FF1234u);
  EXPECT_EQ(first->threadId, GetCurrentThreadId());
  EXPECT_EQ(first->level, 2);
  EXPECT_STREQ(first->userTag.GetWide(), L"tag");
  EXPECT_STREQ(first->text.GetWide(), L"first 1") << "trailing white space is removed";
  // Local time, to the millisecond, by the platform's own reading.
  FILETIME stamped;
  ASSERT_TRUE(SystemTimeToFileTime(&first->time, &stamped));
  const uint64_t stampedTicks = (static_cast<uint64_t>(stamped.dwHighDateTime) << 32) | stamped.dwLowDateTime;
  EXPECT_LE(before / 10000, stampedTicks / 10000);
  EXPECT_LE(stampedTicks / 10000, LocalNow() / 10000);

  auto second = logger().TakeOldestEntry(remaining);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(remaining, 1u);
  EXPECT_EQ(second->eventId, 0u);
  EXPECT_STREQ(second->userTag.GetWide(), L"narrow tag");
  EXPECT_STREQ(second->text.GetWide(), L"second entry");

  auto third = logger().TakeOldestEntry(remaining);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(third->level, 5);
  EXPECT_EQ(third->userTag.GetWide(), nullptr);
  EXPECT_EQ(logger().TakeOldestEntry(remaining), nullptr);
  EXPECT_EQ(remaining, 0u);
}

// Many threads log while the logger becomes ready, stops and becomes ready
// again, and a reader takes entries meanwhile: whatever was admitted comes
// out once, whole, and in each thread's order, and what was logged once the
// logger stayed ready all arrives.
TEST_F(ProcessLogger, ConcurrentLoggingNeitherLosesDuplicatesNorTearsEntries) {
  constexpr int kThreads = 6;
  constexpr int kAfterFlipping = 200;
  // Bounded so that a slow flipper on a loaded machine cannot outgrow the
  // six-digit entry numbers.
  constexpr int kMostWhileFlipping = 100000;
  std::vector<std::unique_ptr<LogEntry>> taken;
  std::atomic<bool> writersDone{false};
  std::thread reader([&] {
    size_t remaining = 0;
    for (;;) {
      const bool last = writersDone;
      for (auto entry = logger().TakeOldestEntry(remaining); entry != nullptr;
           entry = logger().TakeOldestEntry(remaining)) {
        taken.push_back(std::move(entry));
      }
      if (last) return;
    }
  });
  std::atomic<bool> flipping{true};
  int lastLogged[kThreads];
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t, &flipping, &lastLogged] {
      int i = 0;
      const auto log = [&] { DebugLogUser(L"writer", 3, L"thread %d entry %06d %s", t, i++, L"payload-payload"); };
      while (flipping && i < kMostWhileFlipping) log();
      while (flipping) std::this_thread::yield();
      for (int k = 0; k < kAfterFlipping; ++k) log();
      lastLogged[t] = i - 1;
    });
  }
  for (int flip = 0; flip < 200; ++flip) {
    logger().SetReady(flip % 2 == 0);
    Sleep(0);
  }
  logger().SetReady(true);
  flipping = false;
  for (auto& writer : writers) writer.join();
  writersDone = true;
  reader.join();

  int last[kThreads];
  std::fill(std::begin(last), std::end(last), -1);
  const std::wstring tail = L" payload-payload";
  for (const auto& entry : taken) {
    const std::wstring text = entry->text.GetWide();
    ASSERT_EQ(text.size(), 21 + tail.size()) << text;
    ASSERT_EQ(text.substr(21), tail);
    const int thread = std::stoi(text.substr(7, 1));
    const int index = std::stoi(text.substr(15, 6));
    ASSERT_TRUE(thread >= 0 && thread < kThreads);
    EXPECT_STREQ(entry->userTag.GetWide(), L"writer");
    EXPECT_GT(index, last[thread]) << "duplicated or reordered";
    last[thread] = index;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(last[t], lastLogged[t]) << "thread " << t;
}

}  // namespace
