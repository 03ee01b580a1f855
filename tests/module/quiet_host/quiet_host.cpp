// A host process that publishes the router block, loads the provider
// module, serves one client and unloads it, and says nothing itself unless
// a step fails: whatever else appears on its standard output or error, in
// its current folder or below TEMP, or as an event, came from the module.
// With "--control" it writes one of each instead, so that the test shows it
// would notice them.
//
// quiet_host --serve|--control TEMP-FOLDER

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include <windows.h>

#include "support/fs/unique_handle.h"
#include "tests/common/router_fixture.h"
#include "tests/common/serve_round.h"

namespace {

constexpr size_t kSessions = 2;

int Failed(const std::string& step) {
  std::fprintf(stderr, "quiet_host: %s\n", step.c_str());
  return 1;
}

int WriteOneOfEach() {
  std::printf("console line\n");
  HANDLE file = CreateFileW(L"control.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed("control file");
  CloseHandle(file);
  HANDLE source = RegisterEventSourceW(nullptr, L"QuietHostControl");
  if (source == nullptr) return Failed("control event source");
  const wchar_t* strings[] = {L"control event"};
  ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
  return 0;
}

// Creates the block as the router service does, with kSessions sessions;
// it lasts as long as the returned handle.
HANDLE PublishRouterBlock() {
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(wmirouter_perf_t),
                                      kRouterBlockName);
  if (mapping == nullptr) return nullptr;
  auto* block = static_cast<wmirouter_perf_t*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
  if (block == nullptr) {
    CloseHandle(mapping);
    return nullptr;
  }
  wcscpy(block->sessions[0].name, L"alpha");
  wcscpy(block->sessions[5].name, L"beta");
  ++block->update_stamp;
  UnmapViewOfFile(block);
  return mapping;
}

// Whether `address` lies in the image of `module` (which may be null).
bool InImage(HMODULE module, const void* address) {
  if (module == nullptr) return false;
  const auto* image = reinterpret_cast<const BYTE*>(module);
  const auto* headers =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
  const auto* at = static_cast<const BYTE*>(address);
  return at >= image && at < image + headers->OptionalHeader.SizeOfImage;
}

// Whether a thread that is not among `before` starts in `module` or in the
// C run time it starts its threads through. Wine may start threads of its
// own at any time, so only the start address tells the module's apart.
bool StartedAThreadIn(HMODULE module, const std::vector<DWORD>& before) {
  using QueryThread = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  constexpr int kThreadStartAddress = 9;  // ThreadQuerySetWin32StartAddress
  const auto query = reinterpret_cast<QueryThread>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
  const HMODULE runTimes[] = {module, GetModuleHandleW(L"msvcrt.dll"), GetModuleHandleW(L"ucrtbase.dll")};
  for (DWORD id : ProcessThreadIds()) {
    if (std::find(before.begin(), before.end(), id) != before.end()) continue;
    const UniqueHandle thread(OpenThread(THREAD_QUERY_INFORMATION, FALSE, id));
    void* start = nullptr;
    // A new thread whose start cannot be read counts as the module's.
    if (!thread || query == nullptr || query(thread.get(), kThreadStartAddress, &start, sizeof start, nullptr) != 0) {
      return true;
    }
    for (HMODULE runTime : runTimes) {
      if (InImage(runTime, start)) return true;
    }
  }
  return false;
}

int LoadServeAndUnload() {
  const std::wstring path = wmihost::ProviderPathBesideExecutable();
  // Loading alone builds the module's static objects and starts no thread.
  const std::vector<DWORD> before = ProcessThreadIds();
  HMODULE module = LoadLibraryW(path.c_str());
  if (module == nullptr) return Failed("LoadLibrary");
  const bool started = StartedAThreadIn(module, before);
  FreeLibrary(module);
  if (started) return Failed("loading started a thread");

  wmihost::HostSession host;
  if (host.Load(path) != S_OK) return Failed("Load");
  if (host.Initialize() != S_OK) return Failed("Initialize");
  const auto statuses = host.HostInitSink().Statuses();
  if (statuses.size() != 1 || statuses[0].status != WBEM_S_INITIALIZED) return Failed("initialisation status");
  const std::string failure = ServeRefresherAndEnumeration(host, kSessions);
  if (!failure.empty()) return Failed(failure);
  host.Close();
  // The polling thread holds a reference on the module until it ends.
  if (!Eventually([] { return GetModuleHandleW(L"FernwickRouterSessionPerf.dll") == nullptr; })) {
    return Failed("the module stayed loaded");
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return Failed("usage: quiet_host --serve|--control TEMP-FOLDER");
  SetEnvironmentVariableW(L"TEMP", argv[2]);
  SetEnvironmentVariableW(L"TMP", argv[2]);
  if (std::wstring(argv[1]) == L"--control") return WriteOneOfEach();
  HANDLE router = PublishRouterBlock();
  if (router == nullptr) return Failed("router block");
  const int result = LoadServeAndUnload();
  CloseHandle(router);
  return result;
}
