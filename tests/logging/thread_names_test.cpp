#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/logging/thread_names.h"
#include "tests/common/recording_sink.h"

namespace {

std::vector<std::pair<DWORD, std::string>> Walk() {
  std::vector<std::pair<DWORD, std::string>> names;
  ThreadNameRegistry::Iterator position;
  DWORD id = 0;
  std::string name;
  for (bool more = GetThreadNameRegistry().FirstThreadName(position, id, name); more;
       more = GetThreadNameRegistry().NextThreadName(position, id, name)) {
    names.emplace_back(id, name);
  }
  return names;
}

TEST(ThreadNames, TheLastNameCountsAndUnknownThreadsAreNotAnnounced) {
  RecordingSink sink;
  const DWORD id = GetCurrentThreadId();
  RegisterThreadName("first");
  RegisterThreadName("second");
  std::thread([] { UnregisterThreadName(); }).join();
  const auto names = Walk();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0], std::make_pair(id, std::string("second")));
  UnregisterThreadName();
  EXPECT_TRUE(Walk().empty());

  wchar_t prefix[80];
  swprintf(prefix, 80, L"THREADID=0x%X, THREADNAME=", id);
  const std::wstring tail(prefix);
  EXPECT_EQ(sink.texts(), (std::vector<std::wstring>{L"[DIAG] EVENT=Register_thread, " + tail + L"\"first\"",
                                                     L"[DIAG] EVENT=Register_thread, " + tail + L"\"second\"",
                                                     L"[DIAG] EVENT=Unregister_thread, " + tail + L"\"second\""}));
}

TEST(ThreadNames, AWalkGoesByAscendingIdAndReleasesTheLockAtTheEnd) {
  ThreadNameRegistry registry;
  const DWORD ids[] = {30, 10, 20};
  for (DWORD id : ids) registry.AddThreadName(id, ("t" + std::to_string(id)).c_str());
  std::string name;
  EXPECT_TRUE(registry.RemoveThreadName(20, name));
  EXPECT_EQ(name, "t20");
  EXPECT_FALSE(registry.RemoveThreadName(20, name));

  std::vector<DWORD> order;
  ThreadNameRegistry::Iterator position;
  DWORD id = 0;
  for (bool more = registry.FirstThreadName(position, id, name); more;
       more = registry.NextThreadName(position, id, name)) {
    order.push_back(id);
  }
  EXPECT_EQ(order, (std::vector<DWORD>{10, 30}));
  // Another thread can take the lock again.
  std::thread([&] { registry.AddThreadName(40, "t40"); }).join();
  EXPECT_TRUE(registry.RemoveThreadName(40, name));
}

}  // namespace
