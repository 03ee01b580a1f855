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
  // The session these values belong to; 0 for none.
  uint64_t session = 0;
  CriticalSectionLock lock;

  // 0, or WBEM_E_FAILED for an index outside 0..3 or a missing output.
  HRESULT SetValue(int index, uint32_t value);
  HRESULT GetValue(int index, uint32_t* value) const;
};

// A session the last copy serves: its identifier, never reused, and the key
// its instance carries as its Name.
struct ServedSessionKey {
  uint64_t id;
  std::wstring key;
};

// Keys: a session's key is its name. Keys ignore case, as WMI keys do: the
// second and later sessions, in slot order, whose key would equal an earlier
// one get the first free "#2", "#3", ... after their name ("alpha",
// "Alpha#2"). A session is one key in one slot: when its key changes it ends
// and a new session starts.
//
// A name the copy has not read before in that slot is served only when a
// copy at least kConfirmAfterMs later reads the same name, so that a name
// the router is still writing never becomes a session. Likewise another name,
// or none, ends the slot's session only once it has settled; until then the
// session keeps its last values.
class CPerfDataSource {
 public:
  static constexpr unsigned kConfirmAfterMs = 80;

  CPerfDataSource();
  virtual ~CPerfDataSource();
  CPerfDataSource(const CPerfDataSource&) = delete;
  CPerfDataSource& operator=(const CPerfDataSource&) = delete;

  HRESULT GetCounterHandles(IWbemClassObject* classObject);
  // 0; WBEM_E_FAILED when no thread started; a handle request's failure; or
  // the system error number of a failed security step.
  long Initialize(IWbemClassObject* classObject);
  // Fills the instance from the session its Name selects: the session of
  // that key (case ignored), else, for a Name that is a decimal number and
  // nothing else, the session at that ordinal. WBEM_E_NOT_FOUND for any
  // other Name.
  HRESULT FillInstance(IWbemObjectAccess* instance);
  // Fills the instance from session `session`. `record` remembers where the
  // session was last found (-1 at first). WBEM_S_FALSE, with nothing
  // written, once the session has ended.
  HRESULT FillSession(IWbemObjectAccess* instance, uint64_t session, int* record);
  // The session a Name selects by the rules of FillInstance, or 0.
  uint64_t FindSession(const wchar_t* name) const;
  void SetCounter(int record, int index, uint32_t value);
  HRESULT GetCounter(int record, int index, uint32_t* value) const;
  void SetLogCallback(LogCallback callback);
  // Copies now, on the caller's thread, if the block's stamp has changed or
  // a name waits for its second reading. Maps the block while it is absent.
  void PollNow();
  // When the sessions of a block seen for the first time still wait for
  // their second reading, waits for it, until at most two polling periods
  // after they were first read.
  void AwaitFirstSessions();
  bool IsPolling() const;
  // Changes whenever a copy serves other sessions than the copy before:
  // equal values mean the same sessions.
  uint64_t SessionGeneration() const;
  // The served sessions in ordinal order, and the generation they belong to.
  uint64_t CurrentSessions(std::vector<ServedSessionKey>* sessions) const;

  // The shared part the polling thread holds on to, so that a thread still
  // finishing after the destructor gave up waiting never touches freed memory.
  struct PollingState;

 private:
  UniqueHandle thread_;
  std::shared_ptr<PollingState> state_;
};
