#include "tools/wmihost/hiperf_enum.h"

#include <algorithm>

namespace wmihost {

std::vector<HiPerfEnum::Entry> HiPerfEnum::Entries() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return entries_;
}

HRESULT HiPerfEnum::QueryInterface(REFIID iid, void** out) {
  return QueryOne<IWbemHiPerfEnum>(this, IID_IWbemHiPerfEnum, iid, out);
}

HRESULT HiPerfEnum::AddObjects(LONG, ULONG count, LONG* ids, IWbemObjectAccess** objects) {
  if (count > 0 && (!ids || !objects)) return WBEM_E_INVALID_PARAMETER;
  if (std::find(objects, objects + count, nullptr) != objects + count) return WBEM_E_INVALID_PARAMETER;
  HRESULT planned = S_OK;
  if (faults_.ShouldFail(Op::AddObjects, &planned)) return planned;
  return Guarded([&] {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.reserve(entries_.size() + count);
    for (ULONG i = 0; i < count; ++i) entries_.push_back({ids[i], objects[i]});
    return WBEM_S_NO_ERROR;
  });
}

HRESULT HiPerfEnum::RemoveObjects(LONG, ULONG count, LONG* ids) {
  if (count > 0 && !ids) return WBEM_E_INVALID_PARAMETER;
  return Guarded([&] {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [&](const Entry& entry) { return std::find(ids, ids + count, entry.id) != ids + count; }),
                   entries_.end());
    return WBEM_S_NO_ERROR;
  });
}

HRESULT HiPerfEnum::GetObjects(LONG, ULONG capacity, IWbemObjectAccess** objects, ULONG* returned) {
  if (!returned || (capacity > 0 && !objects)) return WBEM_E_INVALID_PARAMETER;
  return Guarded([&] {
    std::lock_guard<std::mutex> guard(mutex_);
    *returned = static_cast<ULONG>(entries_.size());
    if (entries_.size() > capacity) return WBEM_E_BUFFER_TOO_SMALL;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      objects[i] = entries_[i].object.Get();
      objects[i]->AddRef();
    }
    return WBEM_S_NO_ERROR;
  });
}

HRESULT HiPerfEnum::RemoveAll(LONG) {
  return Guarded([&] {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.clear();
    return WBEM_S_NO_ERROR;
  });
}

}  // namespace wmihost
