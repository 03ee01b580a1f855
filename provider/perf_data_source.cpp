#include "provider/perf_data_source.h"

#include <process.h>

#include <algorithm>
#include <cwchar>
#include <new>
#include <ctime>
#include <utility>

#include <wrl/client.h>

#include "provider/admin_security.h"
#include "provider/module_state.h"
#include "support/fs/system_error.h"

namespace {
ErrorRecord g_dataSourceErrorRecord;
constexpr DWORD kPollingPeriodMs = 100;
constexpr DWORD kStopWaitMs = 1000;
// Name reads offer 511 bytes to a 512-unit buffer, so the text always ends
// in a terminator.
constexpr size_t kNameBufferUnits = 512;
constexpr long kNameReadBytes = 511;

// FNV-1a over a name's units: a lookup compares text only where these agree.
uint32_t NameHash(const wchar_t* name) {
  uint32_t hash = 2166136261u;
  for (; *name != L'\0'; ++name) hash = (hash ^ static_cast<uint16_t>(*name)) * 16777619u;
  return hash;
}
}  // namespace

HRESULT SessionCounters::SetValue(int index, uint32_t value) {
  if (index < 0 || index >= kCounterCount) return WBEM_E_FAILED;
  values[index] = value;
  return 0;
}

HRESULT SessionCounters::GetValue(int index, uint32_t* value) const {
  if (index < 0 || index >= kCounterCount || value == nullptr) return WBEM_E_FAILED;
  *value = values[index];
  return 0;
}

struct CPerfDataSource::PollingState {
  PollingState() : stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

  HRESULT SetShareMemoryData();
  // Copies the block's sessions when its stamp changed since the last look.
  void PollOnce();
  void CopySessions(const wmirouter_perf_t& block);
  // The record whose session carries this name, else -1. The caller holds
  // the name table's lock.
  int RecordByNameLocked(const wchar_t* name) const;

  SessionCounters records[kMaxInstances];
  UniqueHandle stopEvent;
  // Held for one poll: the polling thread and a caller that has just mapped
  // the block both poll.
  CriticalSectionLock pollLock;
  std::atomic<LogCallback> callback{nullptr};
  uint64_t lastStamp = static_cast<uint64_t>(std::time(nullptr));

  // Session names of the records as of the last copy, so that an instance
  // named after its session is fed from that session's record. A copy holds
  // the lock exclusively, a fill shares it from the lookup until its values
  // are written, so a name never pairs with another session's counters.
  mutable SRWLOCK nameTableLock = SRWLOCK_INIT;
  wchar_t names[kMaxInstances][kSessionNameUnits + 1] = {};
  uint32_t nameHashes[kMaxInstances] = {};
  int namedCount = 0;
  std::atomic<uint64_t> generation{0};
};

HRESULT CPerfDataSource::PollingState::SetShareMemoryData() {
  try {
    while (WaitForSingleObject(stopEvent.get(), kPollingPeriodMs) == WAIT_TIMEOUT) PollOnce();
    return 0;
  } catch (...) {
    LogFormatted(callback.load(), 1, "CPerfDataSource::SetShareMemoryData", __LINE__, &g_dataSourceErrorRecord,
                 L"Unknown exception in router sessions");
    return WBEM_E_FAILED;
  }
}

void CPerfDataSource::PollingState::PollOnce() {
  ScopedLock guard(pollLock);
  const wmirouter_perf_t* block = RouterBlock().View();
  const uint64_t stamp = block != nullptr ? static_cast<const volatile uint64_t&>(block->update_stamp) : 0;
  if (stamp == lastStamp) return;
  lastStamp = stamp;
  if (block != nullptr) CopySessions(*block);
}

void CPerfDataSource::PollingState::CopySessions(const wmirouter_perf_t& block) {
  int slot = block.FirstSession();
  const int count = block.ActiveSessionCount();
  AcquireSRWLockExclusive(&nameTableLock);
  // Only the first kMaxInstances sessions have records.
  int record = 0;
  bool sessionsChanged = false;
  for (; slot != -1 && record < count && record < kMaxInstances; ++record) {
    const wmirouter_session_t& session = block.sessions[slot];
    {
      ScopedLock guard(records[record].lock);
      for (int k = 0; k < kCounterCount; ++k) records[record].values[k] = ReadSlotCounter(session, k);
    }
    wchar_t name[kSessionNameUnits + 1];
    CopySessionName(session, name);
    if (record >= namedCount || wcscmp(name, names[record]) != 0) {
      wcscpy(names[record], name);
      nameHashes[record] = NameHash(name);
      sessionsChanged = true;
    }
    slot = block.NextSession(slot);
  }
  if (record != namedCount) sessionsChanged = true;
  namedCount = record;
  // Counter updates alone leave the generation, so refreshers need not look
  // at the sessions again.
  if (sessionsChanged) ++generation;
  ReleaseSRWLockExclusive(&nameTableLock);
}

int CPerfDataSource::PollingState::RecordByNameLocked(const wchar_t* name) const {
  if (name[0] == L'\0') return -1;
  const uint32_t hash = NameHash(name);
  for (int record = 0; record < namedCount; ++record) {
    if (nameHashes[record] == hash && wcscmp(names[record], name) == 0) return record;
  }
  return -1;
}

namespace {

struct PollingThreadStart {
  std::shared_ptr<CPerfDataSource::PollingState> state;
  UniqueLibrary module;
};

// Shares the name table's lock for the life of one fill.
class SharedNameTable {
 public:
  explicit SharedNameTable(const CPerfDataSource::PollingState& state) : lock_(&state.nameTableLock) {
    AcquireSRWLockShared(lock_);
  }
  ~SharedNameTable() { ReleaseSRWLockShared(lock_); }
  SharedNameTable(const SharedNameTable&) = delete;
  SharedNameTable& operator=(const SharedNameTable&) = delete;

 private:
  SRWLOCK* lock_;
};

HMODULE ReferenceOwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ReferenceOwnModule),
                     &module);
  return module;
}

unsigned __stdcall PollingThread(void* argument) {
  if (argument == nullptr) return 1;
  auto* start = static_cast<PollingThreadStart*>(argument);
  start->state->SetShareMemoryData();
  // FreeLibraryAndExitThread does not return: nothing may be left to destroy.
  const HMODULE module = start->module.release();
  delete start;
  // The thread holds a reference on its module, so the code it runs cannot
  // be unmapped under it, however late it finishes.
  if (module != nullptr) FreeLibraryAndExitThread(module, 0);
  return 0;
}

}  // namespace

CPerfDataSource::CPerfDataSource() : state_(std::make_shared<PollingState>()) {}

CPerfDataSource::~CPerfDataSource() {
  if (thread_.get() == nullptr) return;
  SetEvent(state_->stopEvent.get());
  WaitForSingleObject(thread_.get(), kStopWaitMs);
  thread_.reset();
}

void CPerfDataSource::SetLogCallback(LogCallback callback) { state_->callback.store(callback); }

void CPerfDataSource::PollNow() { state_->PollOnce(); }

bool CPerfDataSource::IsPolling() const {
  return thread_.get() != nullptr && WaitForSingleObject(thread_.get(), 0) == WAIT_TIMEOUT;
}

uint64_t CPerfDataSource::SessionGeneration() const { return state_->generation.load(); }

uint64_t CPerfDataSource::CurrentSessionNames(std::vector<std::wstring>* names) const {
  SharedNameTable table(*state_);
  names->assign(state_->names, state_->names + state_->namedCount);
  return state_->generation.load();
}

void CPerfDataSource::SetCounter(int record, int index, uint32_t value) {
  if (!IsServedIndex(record)) return;
  ScopedLock guard(state_->records[record].lock);
  state_->records[record].SetValue(index, value);
}

HRESULT CPerfDataSource::GetCounter(int record, int index, uint32_t* value) const {
  if (!IsServedIndex(record)) return WBEM_E_NOT_FOUND;
  ScopedLock guard(state_->records[record].lock);
  return state_->records[record].GetValue(index, value);
}

HRESULT CPerfDataSource::GetCounterHandles(IWbemClassObject* classObject) {
  if (classObject == nullptr) return WBEM_E_FAILED;
  Microsoft::WRL::ComPtr<IWbemObjectAccess> access;
  HRESULT hr = classObject->QueryInterface(IID_IWbemObjectAccess, reinterpret_cast<void**>(access.GetAddressOf()));
  if (FAILED(hr) || access == nullptr) return hr;
  for (int k = 0; k < kCounterCount && SUCCEEDED(hr); ++k) {
    BSTR name = SysAllocString(kCounterPropertyNames[k]);
    if (name == nullptr) {
      hr = WBEM_E_OUT_OF_MEMORY;
      break;
    }
    hr = access->GetPropertyHandle(name, nullptr, &counterHandles_[k]);
    SysFreeString(name);
  }
  return FAILED(hr) ? hr : 0;
}

long CPerfDataSource::Initialize(IWbemClassObject* classObject) {
  const HRESULT handles = GetCounterHandles(classObject);
  if (FAILED(handles)) return handles;
  // Serve the block's current values from the start, not after the first period.
  PollNow();

  AdministratorsOnlySecurity security;
  if (!security.Build()) {
    static const wchar_t* const kMessages[] = {L"", L"Could not initialize security descriptor: %d - %ls",
                                               L"Could not initialize SID: %d - %ls",
                                               L"Could not add the ACL to the security descriptor: %d - %ls"};
    const DWORD error = security.errorNumber();
    LogFormatted(state_->callback.load(), 1, "CPerfDataSource::Initialize", __LINE__, &g_dataSourceErrorRecord,
                 kMessages[static_cast<int>(security.failedStep())], static_cast<int>(error),
                 SystemErrorText(error).c_str());
    return static_cast<long>(error);
  }

  UniqueLibrary module(ReferenceOwnModule());
  std::unique_ptr<PollingThreadStart> start(new (std::nothrow) PollingThreadStart{state_, std::move(module)});
  const uintptr_t thread =
      start != nullptr ? _beginthreadex(security.Attributes(), 0, &PollingThread, start.get(), 0, nullptr) : 0;
  // Without a thread the start block, and with it the module reference, goes here.
  if (thread == 0) return WBEM_E_FAILED;
  // The thread owns its start block from here on.
  static_cast<void>(start.release());
  thread_.reset(reinterpret_cast<HANDLE>(thread));
  return 0;
}

HRESULT CPerfDataSource::FillInstance(IWbemObjectAccess* instance, FillRule rule) {
  if (instance == nullptr) return WBEM_E_FAILED;
  // Filled for every instance of every refresh: terminate rather than clear.
  wchar_t name[kNameBufferUnits];
  name[0] = L'\0';
  long bytesRead = 0;
  HRESULT hr =
      instance->ReadPropertyValue(g_nameHandle.load(), kNameReadBytes, &bytesRead, reinterpret_cast<BYTE*>(name));
  if (FAILED(hr)) return hr;
  name[std::min<size_t>(static_cast<size_t>(std::max(bytesRead, 0L)) / sizeof(wchar_t), kNameBufferUnits - 1)] = L'\0';

  SharedNameTable table(*state_);
  int record = state_->RecordByNameLocked(name);
  if (record < 0 && rule == FillRule::kSessionOnly) return WBEM_S_FALSE;
  if (record < 0) {
    const int64_t parsed = ParseInstanceIndex(name);
    if (!IsServedIndex(parsed)) return WBEM_E_NOT_FOUND;
    record = static_cast<int>(parsed);
  }
  SessionCounters& counters = state_->records[record];
  ScopedLock guard(counters.lock);
  for (int k = 0; k < kCounterCount; ++k) {
    hr = instance->WriteDWORD(counterHandles_[k], counters.values[k]);
    if (FAILED(hr)) break;
  }
  return hr;
}
