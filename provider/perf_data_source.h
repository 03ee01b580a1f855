#pragma once
// The module's one session data source: a polling thread copies the counters
// of every active router session from the shared block into 128 locked
// records whenever the block's update stamp changes; WMI-facing code fills
// instances from those records and never reads the block.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>
#include <wbemcli.h>

#include "provider/router_block.h"
#include "support/fs/critical_section_lock.h"
#include "support/fs/unique_handle.h"
#include "support/log_callback.h"

struct SessionCounters {
  uint32_t values[kCounterCount] = {};
  CriticalSectionLock lock;

  // 0, or WBEM_E_FAILED for an index outside 0..3 or a missing output.
  HRESULT SetValue(int index, uint32_t value);
  HRESULT GetValue(int index, uint32_t* value) const;
};

// How an instance's Name selects its record. kSessionOrIndex: the record of
// the session of that name, else the name parsed as a record index.
// kSessionOnly, for an instance named after a session: that session's record
// only; once the session has ended the instance is left as it is, so it never
// shows another session's counters.
enum class FillRule { kSessionOrIndex, kSessionOnly };

class CPerfDataSource {
 public:
  CPerfDataSource();
  virtual ~CPerfDataSource();
  CPerfDataSource(const CPerfDataSource&) = delete;
  CPerfDataSource& operator=(const CPerfDataSource&) = delete;

  HRESULT GetCounterHandles(IWbemClassObject* classObject);
  // 0; WBEM_E_FAILED when no thread started; a handle request's failure; or
  // the system error number of a failed security step.
  long Initialize(IWbemClassObject* classObject);
  // WBEM_S_FALSE when kSessionOnly finds no such session: nothing is written.
  HRESULT FillInstance(IWbemObjectAccess* instance, FillRule rule = FillRule::kSessionOrIndex);
  void SetCounter(int record, int index, uint32_t value);
  HRESULT GetCounter(int record, int index, uint32_t* value) const;
  void SetLogCallback(LogCallback callback);
  // Copies now, on the caller's thread, if the block's stamp has changed.
  void PollNow();
  bool IsPolling() const;
  // Changes whenever a copy finds other sessions (names or order) than the
  // copy before: equal values mean the same sessions.
  uint64_t SessionGeneration() const;
  // The sessions' names in ordinal order as of the last copy (empty for an
  // unnamed slot), and the generation they belong to.
  uint64_t CurrentSessionNames(std::vector<std::wstring>* names) const;

  // The shared part the polling thread holds on to, so that a thread still
  // finishing after the destructor gave up waiting never touches freed memory.
  struct PollingState;

 private:
  long counterHandles_[kCounterCount] = {};
  UniqueHandle thread_;
  std::shared_ptr<PollingState> state_;
};
