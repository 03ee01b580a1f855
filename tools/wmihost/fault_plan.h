#pragma once
// Failure injection for the host objects: a plan says which operation fails,
// with which HRESULT, and on which calls. It also counts every call of each
// operation, failed or not.

#include <array>
#include <cstddef>
#include <functional>
#include <mutex>

#include <windows.h>

namespace wmihost {

// The host operations whose outcome the plan can decide.
enum class Op : std::size_t {
  GetObject,           // IWbemServices::GetObject
  SpawnInstance,       // IWbemClassObject::SpawnInstance
  Clone,               // IWbemClassObject::Clone
  QueryObjectAccess,   // QueryInterface for IWbemObjectAccess
  GetPropertyHandle,   // IWbemObjectAccess::GetPropertyHandle
  ReadPropertyValue,   // IWbemObjectAccess::ReadPropertyValue
  WritePropertyValue,  // IWbemObjectAccess::WritePropertyValue
  WriteDWORD,          // IWbemObjectAccess::WriteDWORD
  AddObjects,          // IWbemHiPerfEnum::AddObjects
  kCount
};

// Thread-safe. A failing call returns the planned HRESULT and produces no
// output: out-pointers are null and nothing is stored. A planned success code
// (S_FALSE, even S_OK) therefore models "success, but nothing came back".
class FaultPlan {
 public:
  static constexpr unsigned kAlways = ~0u;

  // From now on, lets `passFirst` calls of `op` through, then fails the
  // following `times` calls with `result` (kAlways: until Clear).
  void Fail(Op op, HRESULT result, unsigned passFirst = 0, unsigned times = kAlways);
  void Clear(Op op);
  // Runs `action` once, at the start of the next call of `op`, on the calling
  // thread and before that call does anything: forces an interleaving.
  void RunBeforeNext(Op op, std::function<void()> action);
  // Calls of `op` so far, failed ones included.
  unsigned Calls(Op op) const;

  // For the host objects: counts one call of `op`. Returns true, with the
  // planned result in `result`, when this call must fail.
  bool ShouldFail(Op op, HRESULT* result);

 private:
  struct Entry {
    unsigned calls = 0;
    unsigned pass = 0;
    unsigned failures = 0;  // failures still to come
    HRESULT result = S_OK;
    std::function<void()> before;
  };
  mutable std::mutex mutex_;
  std::array<Entry, static_cast<std::size_t>(Op::kCount)> entries_{};
};

}  // namespace wmihost
