#include <atomic>
#include <new>
#include <thread>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/fs/code_page.h"
#include "support/fs/critical_section_lock.h"

TEST(CriticalSectionLock, IsRecursiveForItsOwnerAndExcludesOtherThreads) {
  CriticalSectionLock lock;
  lock.Enter();
  lock.Enter();
  lock.Leave();
  EXPECT_TRUE(lock.IsLocked());

  std::atomic<bool> otherEntered{false};
  std::thread other([&] {
    ScopedLock guard(lock);
    otherEntered = true;
  });
  Sleep(100);
  EXPECT_FALSE(otherEntered) << "another thread entered while the owner still held one level";

  lock.Leave();
  other.join();
  EXPECT_TRUE(otherEntered);
  EXPECT_FALSE(lock.IsLocked());
}

TEST(CriticalSectionLock, LeaveWithoutEnterDoesNothing) {
  CriticalSectionLock lock;
  lock.Leave();
  EXPECT_FALSE(lock.IsLocked());
  lock.Enter();
  EXPECT_TRUE(lock.IsLocked());
  lock.Leave();
  EXPECT_FALSE(lock.IsLocked());
}

TEST(CriticalSectionLock, EnterAndLeaveAfterDestructionAreHarmless) {
  alignas(CriticalSectionLock) unsigned char storage[sizeof(CriticalSectionLock)];
  auto* lock = new (storage) CriticalSectionLock();
  lock->~CriticalSectionLock();
  lock->Enter();
  lock->Leave();
  EXPECT_FALSE(lock->IsLocked());
}

TEST(CriticalSectionLock, SerialisesIncrementsFromManyThreads) {
  CriticalSectionLock lock;
  long long total = 0;
  std::thread workers[4];
  for (auto& worker : workers) {
    worker = std::thread([&] {
      for (int i = 0; i < 20000; ++i) {
        ScopedLock outer(lock);
        ScopedLock inner(lock);
        total = total + 1;
      }
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(total, 80000);
}

TEST(CodePage, EmptyAndUnconvertibleInputsGiveEmptyStrings) {
  EXPECT_EQ(NarrowToWide(""), L"");
  EXPECT_EQ(WideToNarrow(L""), "");
  // No such code page: the platform answers 0.
  EXPECT_EQ(NarrowToWide("abc", 12345), L"");
  EXPECT_EQ(WideToNarrow(L"abc", 12345), "");
}

TEST(CodePage, Utf8RoundTripsAndAnsiUsesTheDefaultCharacter) {
  const std::wstring wide = L"Caf\u00e9 \u4e2d";
  const std::string utf8 = WideToNarrow(wide, CP_UTF8);
  EXPECT_EQ(utf8, "Caf\xc3\xa9 \xe4\xb8\xad");
  EXPECT_EQ(NarrowToWide(utf8, CP_UTF8), wide);

  ASSERT_EQ(GetACP(), 1252u) << "the test assumes a Western ANSI code page";
  EXPECT_EQ(WideToNarrow(L"a\u4e2db"), "a?b");
  EXPECT_EQ(NarrowToWide("\xe9"), L"\u00e9");
}

TEST(CodePage, StopsAtAnEmbeddedTerminator) {
  const std::string withZero("ab\0cd", 5);
  EXPECT_EQ(NarrowToWide(withZero), L"ab");
}
