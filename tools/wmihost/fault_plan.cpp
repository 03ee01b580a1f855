#include "tools/wmihost/fault_plan.h"

namespace wmihost {

void FaultPlan::Fail(Op op, HRESULT result, unsigned passFirst, unsigned times) {
  std::lock_guard<std::mutex> guard(mutex_);
  Entry& entry = entries_[static_cast<std::size_t>(op)];
  entry.pass = passFirst;
  entry.failures = times;
  entry.result = result;
}

void FaultPlan::Clear(Op op) { Fail(op, S_OK, 0, 0); }

unsigned FaultPlan::Calls(Op op) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return entries_[static_cast<std::size_t>(op)].calls;
}

void FaultPlan::RunBeforeNext(Op op, std::function<void()> action) {
  std::lock_guard<std::mutex> guard(mutex_);
  entries_[static_cast<std::size_t>(op)].before = std::move(action);
}

bool FaultPlan::ShouldFail(Op op, HRESULT* result) {
  std::function<void()> before;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    before.swap(entries_[static_cast<std::size_t>(op)].before);
  }
  // Outside the lock: the action may call into objects that consult the plan.
  if (before) before();
  std::lock_guard<std::mutex> guard(mutex_);
  Entry& entry = entries_[static_cast<std::size_t>(op)];
  ++entry.calls;
  if (entry.failures == 0) return false;
  if (entry.pass > 0) {
    --entry.pass;
    return false;
  }
  if (entry.failures != kAlways) --entry.failures;
  *result = entry.result;
  return true;
}

}  // namespace wmihost
