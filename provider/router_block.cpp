#include "provider/router_block.h"

#include <cwctype>

const wchar_t kCounterPropertyNames[kCounterCount][130] = {
    L"Bypass_Msg_Received",
    L"Bypass_Msg_Sent",
    L"Msg_Sent2Relay",
    L"Relay_Msg_Received",
};

const size_t kCounterSlotOffsets[kCounterCount] = {
    offsetof(wmirouter_session_t, bypass_msg_received),
    offsetof(wmirouter_session_t, bypass_msg_sent),
    offsetof(wmirouter_session_t, msg_sent2relay),
    offsetof(wmirouter_session_t, relay_msg_received),
};

int wmirouter_perf_t::ActiveSessionCount() const {
  int count = 0;
  for (const auto& slot : sessions) count += slot.IsActive() ? 1 : 0;
  return count;
}

namespace {
int FirstActiveFrom(const wmirouter_perf_t& block, int start) {
  for (int slot = start; slot < kSessionSlotCount; ++slot) {
    if (block.sessions[slot].IsActive()) return slot;
  }
  return -1;
}
}  // namespace

int wmirouter_perf_t::FirstSession() const { return FirstActiveFrom(*this, 0); }

int wmirouter_perf_t::NextSession(int slot) const {
  if (slot < 0) return -1;
  return FirstActiveFrom(*this, slot + 1);
}

size_t CopySessionName(const wmirouter_session_t& slot, wchar_t (&out)[kSessionNameUnits + 1]) {
  size_t length = 0;
  // The router may rewrite the name while we copy: read each unit once.
  for (; length < kSessionNameUnits; ++length) {
    const wchar_t unit = static_cast<const volatile wchar_t&>(slot.name[length]);
    if (unit == L'\0') break;
    out[length] = unit;
  }
  out[length] = L'\0';
  return length;
}

bool ParseOrdinalName(const wchar_t* name, int64_t* ordinal) {
  if (name == nullptr) return false;
  const wchar_t* cursor = name;
  while (iswspace(*cursor)) ++cursor;
  bool negative = false;
  if (*cursor == L'+' || *cursor == L'-') negative = (*cursor++ == L'-');
  if (*cursor < L'0' || *cursor > L'9') return false;
  int64_t value = 0;
  constexpr int64_t kSaturation = int64_t{1} << 40;
  for (; *cursor >= L'0' && *cursor <= L'9'; ++cursor) {
    if (value < kSaturation) value = value * 10 + (*cursor - L'0');
  }
  if (*cursor != L'\0') return false;
  *ordinal = negative ? -value : value;
  return true;
}
