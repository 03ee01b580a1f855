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
// A key is a slot name of at most 32 units, and "#" with a number of at
// most three digits.
constexpr size_t kKeyUnits = kSessionNameUnits + 8;

// FNV-1a over a text's units: a lookup compares text only where these agree.
uint32_t TextHash(const wchar_t* text) {
  uint32_t hash = 2166136261u;
  for (; *text != L'\0'; ++text) hash = (hash ^ static_cast<uint16_t>(*text)) * 16777619u;
  return hash;
}

// `text` in upper case by the invariant locale's rules, for comparing keys
// the way WMI does, without regard to case. False when it does not fit.
bool FoldCase(const wchar_t* text, wchar_t (&folded)[kKeyUnits]) {
  const size_t length = wcslen(text);
  if (length >= kKeyUnits) return false;
  if (length == 0) {
    folded[0] = L'\0';
    return true;
  }
  const int written = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text, static_cast<int>(length), folded,
                                    static_cast<int>(kKeyUnits - 1), nullptr, nullptr, 0);
  if (written <= 0) return false;
  folded[written] = L'\0';
  return true;
}

// A served session: where it is, what it is called, its key in both
// spellings with their hashes, and the values its record takes: read beside
// its name, or, while its slot reads another name that has not settled yet,
// the values it had.
struct ServedSession {
  uint64_t id;
  int slot;
  wchar_t name[kSessionNameUnits + 1];
  wchar_t key[kKeyUnits];
  wchar_t foldedKey[kKeyUnits];
  uint32_t keyHash;
  uint32_t foldedHash;
  uint32_t values[kCounterCount];
};

// The last name read in a slot and when it was first read there.
struct SlotSighting {
  wchar_t name[kSessionNameUnits + 1];
  ULONGLONG since;
};
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
  // Copies the block's sessions when its stamp changed since the last look,
  // or when a name waits for its second reading.
  void PollOnce();
  void CopySessions(const wmirouter_perf_t& block);
  // Collects into `copy` the slots whose names are confirmed, and the served
  // sessions whose slots read another name that has not settled yet.
  void ConfirmedSessions(const wmirouter_perf_t& block, ULONGLONG now);
  // Gives copy[0..copied) their keys and identifiers.
  void AssignKeys();
  // The position of the served session a Name selects, else -1. The caller
  // shares the table's lock.
  int FindServedLocked(const wchar_t* name) const;
  // Writes record `record`'s values into the instance when the record still
  // belongs to `session`; WBEM_S_FALSE otherwise.
  HRESULT WriteRecord(IWbemObjectAccess* instance, int record, uint64_t session);

  SessionCounters records[kMaxInstances];
  long counterHandles[kCounterCount] = {};
  UniqueHandle stopEvent;
  // Held for one poll: the polling thread and WMI's threads all poll.
  CriticalSectionLock pollLock;
  std::atomic<LogCallback> callback{nullptr};
  uint64_t lastStamp = static_cast<uint64_t>(std::time(nullptr));

  // Guarded by pollLock: what each slot read last, and the copy being made.
  SlotSighting sightings[kSessionSlotCount] = {};
  ServedSession copy[kMaxInstances];
  int copied = 0;
  bool namesPending = false;
  uint64_t nextSessionId = 1;
  // Set while no session is served and a name waits for its second reading,
  // and when that began: callers wait for those names only that long after.
  std::atomic<bool> firstSessionsPending{false};
  std::atomic<ULONGLONG> firstSessionsPendingSince{0};

  // The served sessions, record i holding those of served[i]. A copy holds
  // the lock exclusively; lookups by Name share it until their values are
  // written, so a Name never pairs with another session's counters.
  mutable SRWLOCK tableLock = SRWLOCK_INIT;
  ServedSession served[kMaxInstances];
  int servedCount = 0;
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
  // A router that starts after the provider is followed from its first
  // poll on; an open of a missing mapping is cheap, and is logged once per
  // absence.
  if (!RouterBlock().IsMapped()) MapRouterBlock();
  const wmirouter_perf_t* block = RouterBlock().View();
  const uint64_t stamp = block != nullptr ? static_cast<const volatile uint64_t&>(block->update_stamp) : 0;
  if (stamp == lastStamp && !namesPending) return;
  lastStamp = stamp;
  if (block != nullptr) CopySessions(*block);
}

void CPerfDataSource::PollingState::ConfirmedSessions(const wmirouter_perf_t& block, ULONGLONG now) {
  copied = 0;
  namesPending = false;
  int servedIndex = 0;
  for (int slot = 0; slot < kSessionSlotCount; ++slot) {
    // The counters are read between two readings of the name: a name that
    // changed meanwhile has not settled, as its values may be another's.
    wchar_t firstName[kSessionNameUnits + 1];
    wchar_t name[kSessionNameUnits + 1];
    uint32_t values[kCounterCount];
    CopySessionName(block.sessions[slot], firstName);
    for (int k = 0; k < kCounterCount; ++k) values[k] = ReadSlotCounter(block.sessions[slot], k);
    CopySessionName(block.sessions[slot], name);
    const bool steady = wcscmp(firstName, name) == 0;
    SlotSighting& sighting = sightings[slot];
    bool settled = false;
    if (!steady || wcscmp(sighting.name, name) != 0) {
      wcscpy(sighting.name, name);
      sighting.since = now;
    } else {
      settled = now - sighting.since >= kConfirmAfterMs;
    }
    // The served sessions are in slot order: one still in its slot under
    // the same name goes on without a second reading.
    while (servedIndex < servedCount && served[servedIndex].slot < slot) ++servedIndex;
    const ServedSession* before =
        servedIndex < servedCount && served[servedIndex].slot == slot ? &served[servedIndex] : nullptr;
    const bool same = before != nullptr && steady && wcscmp(before->name, name) == 0;
    const bool live = same || (settled && name[0] != L'\0');
    // Another name, or none, ends the session in the slot only once it has
    // settled: a single torn read ends nothing.
    const bool hold = !live && before != nullptr && !settled;
    if (!same && !settled) namesPending = true;
    if (!live && !hold) continue;
    // Only the first kMaxInstances sessions have records.
    if (copied == kMaxInstances) continue;
    ServedSession& next = copy[copied++];
    next.slot = slot;
    if (!hold) {
      wcscpy(next.name, name);
      std::copy(values, values + kCounterCount, next.values);
      continue;
    }
    wcscpy(next.name, before->name);
    ScopedLock guard(records[servedIndex].lock);
    std::copy(records[servedIndex].values, records[servedIndex].values + kCounterCount, next.values);
  }
}

void CPerfDataSource::PollingState::AssignKeys() {
  for (int ordinal = 0; ordinal < copied; ++ordinal) {
    ServedSession& session = copy[ordinal];
    // A key no earlier session holds: the name itself, else the first free
    // "#n" after it. There are fewer earlier sessions than numbers to try.
    for (int suffix = 1;; ++suffix) {
      if (suffix == 1) {
        wcscpy(session.key, session.name);
      } else {
        swprintf(session.key, kKeyUnits, L"%ls#%d", session.name, suffix);
      }
      if (!FoldCase(session.key, session.foldedKey)) wcscpy(session.foldedKey, session.key);
      session.foldedHash = TextHash(session.foldedKey);
      const bool taken = std::any_of(copy, copy + ordinal, [&](const ServedSession& earlier) {
        return earlier.foldedHash == session.foldedHash && wcscmp(earlier.foldedKey, session.foldedKey) == 0;
      });
      if (!taken) break;
    }
    session.keyHash = TextHash(session.key);
    const ServedSession* before = std::find_if(served, served + servedCount, [&](const ServedSession& old) {
      return old.slot == session.slot && old.keyHash == session.keyHash && wcscmp(old.key, session.key) == 0;
    });
    session.id = before != served + servedCount ? before->id : nextSessionId++;
  }
}

void CPerfDataSource::PollingState::CopySessions(const wmirouter_perf_t& block) {
  ConfirmedSessions(block, GetTickCount64());
  AssignKeys();
  bool sessionsChanged = copied != servedCount;
  for (int ordinal = 0; ordinal < copied && !sessionsChanged; ++ordinal) {
    sessionsChanged = copy[ordinal].id != served[ordinal].id;
  }
  AcquireSRWLockExclusive(&tableLock);
  std::copy(copy, copy + copied, served);
  servedCount = copied;
  for (int record = 0; record < kMaxInstances; ++record) {
    ScopedLock guard(records[record].lock);
    if (record >= copied) {
      // Records beyond the sessions keep their values but serve no one.
      records[record].session = 0;
      continue;
    }
    std::copy(served[record].values, served[record].values + kCounterCount, records[record].values);
    records[record].session = served[record].id;
  }
  // Counter updates alone leave the generation, so refreshers need not look
  // at the sessions again.
  if (sessionsChanged) ++generation;
  ReleaseSRWLockExclusive(&tableLock);
  const bool pending = namesPending && copied == 0;
  if (pending && !firstSessionsPending) firstSessionsPendingSince = GetTickCount64();
  firstSessionsPending = pending;
}

int CPerfDataSource::PollingState::FindServedLocked(const wchar_t* name) const {
  if (name[0] == L'\0') return -1;
  // Clients mostly spell a key as it is served: that costs no case folding.
  const uint32_t hash = TextHash(name);
  for (int index = 0; index < servedCount; ++index) {
    if (served[index].keyHash == hash && wcscmp(served[index].key, name) == 0) return index;
  }
  wchar_t folded[kKeyUnits];
  if (FoldCase(name, folded)) {
    const uint32_t foldedHash = TextHash(folded);
    for (int index = 0; index < servedCount; ++index) {
      if (served[index].foldedHash == foldedHash && wcscmp(served[index].foldedKey, folded) == 0) return index;
    }
  }
  int64_t ordinal = -1;
  if (ParseOrdinalName(name, &ordinal) && ordinal >= 0 && ordinal < servedCount) return static_cast<int>(ordinal);
  return -1;
}

HRESULT CPerfDataSource::PollingState::WriteRecord(IWbemObjectAccess* instance, int record, uint64_t session) {
  SessionCounters& counters = records[record];
  ScopedLock guard(counters.lock);
  if (counters.session != session) return WBEM_S_FALSE;
  HRESULT hr = S_OK;
  for (int k = 0; k < kCounterCount; ++k) {
    hr = instance->WriteDWORD(counterHandles[k], counters.values[k]);
    if (FAILED(hr)) break;
  }
  return hr;
}

namespace {

struct PollingThreadStart {
  std::shared_ptr<CPerfDataSource::PollingState> state;
  UniqueLibrary module;
};

// Shares the session table's lock for the life of one lookup and fill.
class SharedSessionTable {
 public:
  explicit SharedSessionTable(const CPerfDataSource::PollingState& state) : lock_(&state.tableLock) {
    AcquireSRWLockShared(lock_);
  }
  ~SharedSessionTable() { ReleaseSRWLockShared(lock_); }
  SharedSessionTable(const SharedSessionTable&) = delete;
  SharedSessionTable& operator=(const SharedSessionTable&) = delete;

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

uint64_t CPerfDataSource::CurrentSessions(std::vector<ServedSessionKey>* sessions) const {
  SharedSessionTable table(*state_);
  sessions->clear();
  sessions->reserve(static_cast<size_t>(state_->servedCount));
  for (int index = 0; index < state_->servedCount; ++index) {
    sessions->push_back({state_->served[index].id, state_->served[index].key});
  }
  return state_->generation.load();
}

void CPerfDataSource::AwaitFirstSessions() {
  // A name that never settles costs the first callers one wait, not every
  // caller one each.
  const ULONGLONG deadline = state_->firstSessionsPendingSince.load() + 2 * kPollingPeriodMs;
  while (state_->firstSessionsPending.load() && GetTickCount64() < deadline) {
    if (WaitForSingleObject(state_->stopEvent.get(), kPollingPeriodMs / 5) != WAIT_TIMEOUT) return;
    state_->PollOnce();
  }
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
    hr = access->GetPropertyHandle(name, nullptr, &state_->counterHandles[k]);
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

HRESULT CPerfDataSource::FillInstance(IWbemObjectAccess* instance) {
  if (instance == nullptr) return WBEM_E_FAILED;
  // Filled for every instance WMI hands in: terminate rather than clear.
  wchar_t name[kNameBufferUnits];
  name[0] = L'\0';
  long bytesRead = 0;
  const HRESULT hr =
      instance->ReadPropertyValue(g_nameHandle.load(), kNameReadBytes, &bytesRead, reinterpret_cast<BYTE*>(name));
  if (FAILED(hr)) return hr;
  name[std::min<size_t>(static_cast<size_t>(std::max(bytesRead, 0L)) / sizeof(wchar_t), kNameBufferUnits - 1)] = L'\0';

  SharedSessionTable table(*state_);
  const int record = state_->FindServedLocked(name);
  if (record < 0) return WBEM_E_NOT_FOUND;
  return state_->WriteRecord(instance, record, state_->served[record].id);
}

HRESULT CPerfDataSource::FillSession(IWbemObjectAccess* instance, uint64_t session, int* record) {
  if (instance == nullptr || session == 0) return WBEM_E_FAILED;
  // The common case: the session is where it was, checked under its
  // record's lock alone.
  if (IsServedIndex(*record)) {
    const HRESULT hr = state_->WriteRecord(instance, *record, session);
    if (hr != WBEM_S_FALSE) return hr;
  }
  SharedSessionTable table(*state_);
  const ServedSession* served = state_->served;
  const ServedSession* found = std::find_if(
      served, served + state_->servedCount, [&](const ServedSession& candidate) { return candidate.id == session; });
  if (found == served + state_->servedCount) return WBEM_S_FALSE;
  *record = static_cast<int>(found - served);
  return state_->WriteRecord(instance, *record, session);
}

uint64_t CPerfDataSource::FindSession(const wchar_t* name) const {
  SharedSessionTable table(*state_);
  const int record = state_->FindServedLocked(name);
  return record >= 0 ? state_->served[record].id : 0;
}
