#include "support/logging/registry_poll.h"

#include <atomic>

namespace {

std::atomic<DWORD> pollMilliseconds{30000};

}  // namespace

DWORD RegistryPollMilliseconds() { return pollMilliseconds.load(); }

void SetRegistryPollMilliseconds(DWORD milliseconds) { pollMilliseconds.store(milliseconds); }
