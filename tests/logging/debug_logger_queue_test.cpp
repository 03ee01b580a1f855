#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/logging/debug_log.h"
#include "support/logging/debug_logger.h"
#include "support/threads/event.h"
#include "tests/logging/logger_fixture.h"

namespace {

volatile int* volatile g_nowhere = nullptr;
volatile int g_sink;

// Told of every roll of the log file: the second roll holds the logger
// thread until released (so that the test can fill the queue), the third
// faults inside the entry's dispatch.
class RollListener : public LogFileListener {
 public:
  void OnLogFileOpened() override {
    const int call = ++calls_;
    if (call == 2) {
      entered_.Set();
      release_.Wait(kWaitForever);
    } else if (call == 3) {
      g_sink = *g_nowhere;
    }
  }
  Event entered_{true, false};
  Event release_{true, false};
  std::atomic<int> calls_{0};
};

}  // namespace

using LoggerQueueTest = LoggerTest;

TEST_F(LoggerQueueTest, QueueLimitDropsToTheFileOnlyAndAFaultInDispatchIsSurvived) {
  Number(L"DebugLogSize", 3000);
  Number(L"DebugLogAutoRoll", 1);
  Number(L"DebugLogMaxEventQueue", 100);
  RollListener listener;
  ASSERT_TRUE(Start(L"roll.log", &listener));
  // Three lines cut at 1023 characters overflow the first file.
  const std::wstring big(1010, L'x');
  for (int i = 0; i < 3; ++i) DebugLog(3, L"%s", big.c_str());
  ASSERT_EQ(1, listener.entered_.Wait(60000));
  for (int i = 0; i < 150; ++i) DebugLogUser(L"u", 3, L"q%03d", i);
  listener.release_.Set();
  FlushAndStopDebugLogger();
  EXPECT_GE(listener.calls_.load(), 3);

  // The files in roll order, without what introduces each one.
  std::wstring lines;
  for (int number = 0; number < 100; ++number) {
    wchar_t name[32];
    swprintf(name, 32, L"roll_%03d.log", number);
    if (!Exists(name)) break;
    std::wstring text = Normalize(Decode(name, 1));
    text.erase(0, text.find(L"\r\n") + 2);  // header
    const std::wstring today = Today();
    for (const std::wstring& introduction : {today, std::wstring(L"====== END OF LOG ======\r\n")}) {
      for (size_t at = text.find(introduction); at != std::wstring::npos; at = text.find(introduction)) {
        text.erase(at, introduction.size());
      }
    }
    lines += text;
  }
  const std::wstring kException =
      L"[10000] (T):{L} [DIAG] EVENT=DebugLog_Exception, EVENTMSG=\"DebugLog thread exception handled.\"\r\n";
  const size_t exception = lines.find(kException);
  ASSERT_NE(std::wstring::npos, exception);
  lines.erase(exception, kException.size());
  EXPECT_EQ(std::wstring::npos, lines.find(L"DebugLog_Exception"));

  // Cut at 1023 characters: what the prefix with its time and thread id
  // leaves of the text.
  wchar_t threadId[16];
  const size_t prefix = 34 + static_cast<size_t>(swprintf(threadId, 16, L"%X", static_cast<unsigned>(GetCurrentThreadId())));
  const std::wstring bigLine = L"[30000] (T):{T} " + std::wstring(1023 - prefix, L'x') + L"\r\n";
  std::wstring expected = bigLine + bigLine + bigLine +
                          L"[00000] (T):{L} [DIAG] EVENT=DebugLog_Max_Event_Queue_Exceeded, EVENTMSG=\"Dropping "
                          L"messages except for log file\"\r\n";
  for (int i = 0; i < 150; ++i) {
    if (i == 49) {
      expected += L"[10000] (T):{L} [DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Warning, EVENTMSG=\"Event queue "
                  L"has exceeded 75%\"\r\n";
    }
    if (i == 100) {
      expected += L"[10000] (T):{L} [DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Enabled, EVENTMSG=\"Event "
                  L"queue has dropped below 50%, re-enabling all logging.\"\r\n";
    }
    wchar_t line[64];
    swprintf(line, 64, i < 100 ? L"[30000] (T):{T} q%03d\r\n" : L"[30000] (T):{T} {u} q%03d\r\n", i);
    expected += line;
  }
  // Each cut line as one short token, so that a difference reads well.
  for (size_t at = lines.find(bigLine); at != std::wstring::npos; at = lines.find(bigLine)) {
    lines.replace(at, bigLine.size(), L"<cut line>\r\n");
  }
  for (size_t at = expected.find(bigLine); at != std::wstring::npos; at = expected.find(bigLine)) {
    expected.replace(at, bigLine.size(), L"<cut line>\r\n");
  }
  EXPECT_EQ(expected, lines);
}
