#include "tools/wmihost/host_object.h"

namespace wmihost {
namespace {

std::atomic<long> g_liveObjects{0};

}  // namespace

long LiveObjectCount() { return g_liveObjects.load(); }

HostObject::HostObject() { ++g_liveObjects; }

HostObject::~HostObject() { --g_liveObjects; }

ULONG HostObject::AddReference() { return ++references_; }

ULONG HostObject::ReleaseReference() {
  const ULONG remaining = --references_;
  if (remaining == 0) delete this;
  return remaining;
}

}  // namespace wmihost
