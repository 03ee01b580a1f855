#pragma once
// The module's one session data source: a polling thread copies the counters
// of every active router session from the shared block into 128 locked
// records whenever the block's update stamp changes; WMI-facing code fills
// instances from those records and never reads the block.

#include <atomic>
#include <cstdint>
#include <memory>

#include <windows.h>
#include <wbemcli.h>

#include "provider/router_block.h"
#include "support/fs/critical_section_lock.h"
#include "support/log_callback.h"

struct SessionCounters {
  uint32_t values[kCounterCount] = {};
  CriticalSectionLock lock;

  // 0, or WBEM_E_FAILED for an index outside 0..3 or a missing output.
  HRESULT SetValue(int index, uint32_t value);
  HRESULT GetValue(int index, uint32_t* value) const;
};

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
  HRESULT FillInstance(IWbemObjectAccess* instance);
  void SetCounter(int record, int index, uint32_t value);
  HRESULT GetCounter(int record, int index, uint32_t* value) const;
  void SetLogCallback(LogCallback callback);
  // Copies now, on the caller's thread, if the block's stamp has changed.
  void PollNow();
  bool IsPolling() const;

  // The shared part the polling thread holds on to, so that a thread still
  // finishing after the destructor gave up waiting never touches freed memory.
  struct PollingState;

 private:
  long counterHandles_[kCounterCount] = {};
  HANDLE thread_ = nullptr;
  std::shared_ptr<PollingState> state_;
};
