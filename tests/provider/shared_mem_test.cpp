#include <aclapi.h>

#include <string>

#include <gtest/gtest.h>

#include "provider/shared_mem.h"
#include "tests/common/log_capture.h"

namespace {

std::wstring UniqueName(const wchar_t* tag) {
  static int sequence = 0;
  return L"Local\\FernwickTest_" + std::wstring(tag) + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
         std::to_wstring(++sequence);
}

using RouterMem = WMISharedMem<wmirouter_perf_t>;

}  // namespace

TEST(WMISharedMem, OpenBeforeTheRouterCreatedTheBlockIsANotice) {
  LogCapture log;
  RouterMem reader(true);
  const std::wstring name = UniqueName(L"notyet");
  EXPECT_FALSE(reader.Initialize(name.c_str(), 255, kSharedMemRead, log.Callback()));
  EXPECT_FALSE(reader.IsMapped());
  EXPECT_EQ(reader.ActiveSessionCount(), 0);
  EXPECT_EQ(reader.FirstSession(), -1);
  EXPECT_EQ(reader.NextSession(0), -1);

  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].level, 4);
  EXPECT_EQ(entries[0].message, L"Set shared memory " + name + L" 255 access: 4");
  EXPECT_EQ(entries[0].function, "WMISharedMem<struct wmirouter_perf_t>::Initialize");
  EXPECT_EQ(entries[1].level, 3);
  EXPECT_EQ(entries[1].message, L"Shared memory [" + name + L"] for performance provider not created yet");
  EXPECT_EQ(entries[1].function, "WMISharedMem<struct wmirouter_perf_t>::Acquire");

  // Once the router has created the block, a later Initialize succeeds.
  RouterMem router(true);
  ASSERT_TRUE(router.Initialize(name.c_str(), 255, kSharedMemReadWrite, nullptr));
  EXPECT_TRUE(reader.Initialize(name.c_str(), 255, kSharedMemRead, log.Callback()));
  EXPECT_TRUE(reader.IsMapped());
}

TEST(WMISharedMem, ABlockThatCannotBeOpenedIsReportedWithTheNoPointerText) {
  // A block nobody may map, as a non-administrator meets the router's, and a
  // name taken by an object of another type.
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  ACL refuseAll;
  InitializeAcl(&refuseAll, sizeof(refuseAll), ACL_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, &refuseAll, FALSE);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
  const std::wstring deniedName = UniqueName(L"denied");
  HANDLE denied = CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                     sizeof(wmirouter_perf_t), deniedName.c_str());
  ASSERT_NE(denied, nullptr);
  const std::wstring eventName = UniqueName(L"event");
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
  ASSERT_NE(event, nullptr);

  const struct {
    const std::wstring& name;
    int error;
  } cases[] = {{deniedName, ERROR_ACCESS_DENIED}, {eventName, ERROR_INVALID_HANDLE}};
  for (const auto& c : cases) {
    LogCapture log;
    RouterMem reader(true);
    EXPECT_FALSE(reader.Initialize(c.name.c_str(), 255, kSharedMemRead, log.Callback()));
    EXPECT_FALSE(reader.IsMapped());
    const auto entries = log.entries();
    ASSERT_EQ(entries.size(), 3u) << "Set, the failure, its detail";
    EXPECT_EQ(entries[1].level, 1);
    EXPECT_EQ(entries[1].message, L"Could not get pointer to shared memory: [" + c.name + L"]");
    EXPECT_EQ(entries[1].function, "WMISharedMem<struct wmirouter_perf_t>::Acquire");
    EXPECT_EQ(entries[2].level, 4);
    const std::wstring detail = L"Cannot open memory share for " + c.name + L": " + std::to_wstring(c.error) + L" - ";
    EXPECT_EQ(entries[2].message.substr(0, detail.size()), detail);
  }
  CloseHandle(event);
  CloseHandle(denied);
}

TEST(WMISharedMem, RejectsBadArgumentsWithOneMessageEach) {
  LogCapture log;
  RouterMem mem(false);
  const std::wstring name = UniqueName(L"args");
  EXPECT_FALSE(mem.Initialize(name.c_str(), 255, 5, log.Callback()));
  EXPECT_FALSE(mem.Initialize(nullptr, 255, 2, log.Callback()));
  EXPECT_FALSE(mem.Initialize(L"", 255, kSharedMemRead, log.Callback()));
  EXPECT_FALSE(mem.Initialize(name.c_str(), 0, kSharedMemRead, log.Callback()));
  EXPECT_FALSE(mem.Acquire(L"", 255, kSharedMemRead));
  EXPECT_FALSE(mem.Acquire(name.c_str(), 0, kSharedMemRead));

  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[0].message, L"Invalid type of accees to shared memory: 5 for [" + name + L"]");
  EXPECT_EQ(entries[0].level, 1);
  EXPECT_EQ(entries[1].message, L"Invalid type of accees to shared memory: 2 for []");
  EXPECT_EQ(entries[2].message, L"Initialization name is empty");
  EXPECT_EQ(entries[3].message, L"Initialization name is empty");
  EXPECT_EQ(entries[4].message, L"Bad input parameters");
  EXPECT_EQ(entries[5].message, L"Bad input parameters");
  EXPECT_EQ(entries[5].function, "WMISharedMem<struct wmirouter_perf_t>::Acquire");
  // Nothing was created by the rejected calls.
  HANDLE probe = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
  EXPECT_EQ(probe, nullptr);
  if (probe != nullptr) CloseHandle(probe);
}

TEST(WMISharedMem, WriterCreatesAndReaderSeesTheSameBlock) {
  const std::wstring name = UniqueName(L"shared");
  RouterMem router(true);
  ASSERT_TRUE(router.Initialize(name.c_str(), 255, kSharedMemReadWrite, nullptr));
  EXPECT_EQ(router.MappedSize(), 35304u);
  wmirouter_perf_t* block = router.MutableView();
  wcscpy(block->sessions[3].name, L"three");
  wcscpy(block->sessions[7].name, L"seven");
  block->sessions[7].bypass_msg_sent = 4242;
  block->update_stamp = 99;

  RouterMem reader(true);
  ASSERT_TRUE(reader.Initialize(name.c_str(), 255, kSharedMemRead, nullptr));
  EXPECT_EQ(reader.MappedSize(), 0u) << "the reader opened, it did not create";
  EXPECT_NE(reader.View(), router.View());
  EXPECT_EQ(reader.View()->update_stamp, 99u);
  EXPECT_EQ(reader.ActiveSessionCount(), 2);
  EXPECT_EQ(reader.FirstSession(), 3);
  EXPECT_EQ(reader.NextSession(3), 7);
  EXPECT_EQ(ReadSlotCounter(reader.View()->sessions[7], 1), 4242u);
}

TEST(WMISharedMem, RouterBlockNameInTheGlobalNamespaceWorks) {
  RouterMem router(true);
  ASSERT_TRUE(router.Initialize(kRouterBlockName, 255, kSharedMemReadWrite, nullptr));
  RouterMem reader(true);
  EXPECT_TRUE(reader.Initialize(kRouterBlockName, 255, kSharedMemRead, nullptr));
}

TEST(WMISharedMem, SecureMappingAdmitsOnlyAdministrators) {
  const std::wstring name = UniqueName(L"secure");
  RouterMem router(true);
  ASSERT_TRUE(router.Initialize(name.c_str(), 255, kSharedMemReadWrite, nullptr));

  HANDLE mapping = OpenFileMappingW(READ_CONTROL, FALSE, name.c_str());
  ASSERT_NE(mapping, nullptr);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(mapping, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  CloseHandle(mapping);
  ASSERT_NE(dacl, nullptr);
  ASSERT_EQ(dacl->AceCount, 1);
  void* ace = nullptr;
  ASSERT_TRUE(GetAce(dacl, 0, &ace));
  auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
  EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(allowed->Header.AceFlags, 0);
  EXPECT_EQ(allowed->Mask, 6u);

  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                       0, 0, 0, 0, &administrators));
  EXPECT_TRUE(EqualSid(&allowed->SidStart, administrators));
  FreeSid(administrators);
  LocalFree(descriptor);
}

TEST(WMISharedMem, ReleaseIsSafeRepeatedAndSilent) {
  LogCapture log;
  RouterMem never(true);
  EXPECT_TRUE(never.Release());

  const std::wstring name = UniqueName(L"release");
  RouterMem mem(true);
  ASSERT_TRUE(mem.Initialize(name.c_str(), 255, kSharedMemReadWrite, log.Callback()));
  EXPECT_TRUE(mem.Release());
  EXPECT_FALSE(mem.IsMapped());
  EXPECT_EQ(mem.ActiveSessionCount(), 0);
  EXPECT_TRUE(mem.Release());
  // Only the progress note of Initialize; Release logged nothing.
  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, 4);

  // With every handle released the named block is gone.
  HANDLE probe = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
  EXPECT_EQ(probe, nullptr);
  if (probe != nullptr) CloseHandle(probe);
}

TEST(WMISharedMem, ReinitialisingKeepsEarlierViewsReadable) {
  const std::wstring first = UniqueName(L"first");
  const std::wstring second = UniqueName(L"second");
  RouterMem router1(false), router2(false);
  ASSERT_TRUE(router1.Initialize(first.c_str(), 255, kSharedMemReadWrite, nullptr));
  ASSERT_TRUE(router2.Initialize(second.c_str(), 255, kSharedMemReadWrite, nullptr));
  router1.MutableView()->update_stamp = 1;
  router2.MutableView()->update_stamp = 2;

  RouterMem reader(true);
  ASSERT_TRUE(reader.Initialize(first.c_str(), 255, kSharedMemRead, nullptr));
  const wmirouter_perf_t* earlier = reader.View();
  // The same block again: the current view serves.
  ASSERT_TRUE(reader.Initialize(first.c_str(), 255, kSharedMemRead, nullptr));
  EXPECT_EQ(reader.View(), earlier);
  // Another block: the new view serves, and a reader still holding the old
  // address keeps reading valid memory.
  ASSERT_TRUE(reader.Initialize(second.c_str(), 255, kSharedMemRead, nullptr));
  EXPECT_EQ(reader.View()->update_stamp, 2u);
  EXPECT_EQ(earlier->update_stamp, 1u);
  EXPECT_TRUE(reader.Release());
}

TEST(WMISharedMem, AcquireWhileMappedKeepsTheHeldViewUntilRelease) {
  const std::wstring name = UniqueName(L"again");
  RouterMem mem(false);
  ASSERT_TRUE(mem.Initialize(name.c_str(), 255, kSharedMemReadWrite, nullptr));
  wmirouter_perf_t* earlier = mem.MutableView();
  earlier->update_stamp = 5;
  ASSERT_TRUE(mem.Acquire(name.c_str(), 255, kSharedMemReadWrite));
  EXPECT_NE(mem.View(), earlier);
  // A reader still holding the earlier address reads valid memory.
  EXPECT_EQ(earlier->update_stamp, 5u);
  EXPECT_EQ(mem.View()->update_stamp, 5u);
  EXPECT_TRUE(mem.Release());
  // Both pairs are gone: nothing keeps the named block alive.
  HANDLE probe = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
  EXPECT_EQ(probe, nullptr);
  if (probe != nullptr) CloseHandle(probe);
}

TEST(WMISharedMem, CallbackPointingIntoDataIsNeverCalled) {
  static unsigned char notCode[64] = {};
  RouterMem mem(false);
  // Would fault if called; being writable, it is treated as no callback.
  EXPECT_FALSE(mem.Initialize(L"", 255, 5, reinterpret_cast<LogCallback>(notCode)));
  EXPECT_FALSE(IsUsableCallback(reinterpret_cast<LogCallback>(notCode)));
  EXPECT_FALSE(IsUsableCallback(nullptr));
  EXPECT_TRUE(IsUsableCallback(LogCapture::Callback()));
}
