#include <atomic>
#include <cwchar>
#include <thread>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/threads/structured_exception_translation.h"

namespace {

volatile int g_sink;
// Unmapped addresses, kept out of the compiler's sight.
volatile int* volatile g_unmapped = reinterpret_cast<volatile int*>(0x10);

struct Counted {
  explicit Counted(int* count) : count_(count) {}
  ~Counted() { ++*count_; }
  int* count_;
};

// Faults in the test's own code, inside a frame that needs unwinding.
__attribute__((noinline)) int ReadThrough(volatile int* address, int* destroyed) {
  Counted guard(destroyed);
  return *address;
}

__attribute__((noinline)) int Divide(volatile int numerator, volatile int denominator) {
  return numerator / denominator;
}

uint32_t CaughtCode(void (*fault)(int*), int* destroyed) {
  try {
    fault(destroyed);
  } catch (const StructuredException& e) {
    EXPECT_NE(nullptr, e.GetInfo());
    EXPECT_EQ(e.GetCode(), e.GetInfo()->ExceptionRecord->ExceptionCode);
    return e.GetCode();
  }
  return 0;
}

}  // namespace

TEST(StructuredExceptionTest, FaultsBecomeCatchableExceptionsAndTheThreadGoesOn) {
  std::atomic<int> failures{0};
  int destroyed = 0;
  std::thread worker([&] {
    StructuredExceptionTranslation translation;
    for (int i = 0; i < 1000; ++i) {
      if (CaughtCode([](int* d) { g_sink = ReadThrough(g_unmapped, d); }, &destroyed) !=
          EXCEPTION_ACCESS_VIOLATION) {
        ++failures;
      }
    }
    if (CaughtCode([](int*) { g_sink = Divide(1, 0); }, nullptr) != EXCEPTION_INT_DIVIDE_BY_ZERO) ++failures;
    // A fault inside the C run-time library unwinds through its frames too.
    if (CaughtCode([](int*) { g_sink = static_cast<int>(wcslen(const_cast<const wchar_t*>(reinterpret_cast<volatile wchar_t*>(g_unmapped)))); }, nullptr) !=
        EXCEPTION_ACCESS_VIOLATION) {
      ++failures;
    }
    // System probes keep handling their own faults.
    if (!IsBadReadPtr(reinterpret_cast<void*>(0x10), 4)) ++failures;
    if (!IsBadStringPtrW(reinterpret_cast<const wchar_t*>(0x10), 8)) ++failures;
  });
  worker.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(1000, destroyed);
}
