#pragma once
// The router's shared counter block, byte for byte as the router writes it,
// and the catalogue of the counters the provider publishes.

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr const wchar_t kRouterBlockName[] = L"Global\\WMIQAVRouterCounterPerformanceProvider";
constexpr const wchar_t kSessionClassName[] = L"Win32_PerfRawData_Fernwick_Router_Session";
constexpr const wchar_t kNamePropertyName[] = L"Name";

constexpr int kSessionSlotCount = 255;
// A slot name is at most 31 units and a terminator within its 64 bytes.
constexpr size_t kSessionNameUnits = 32;

struct wmirouter_session_t {
  wchar_t name[kSessionNameUnits];
  uint32_t relay_msg_received;
  uint32_t router_private0;
  uint32_t bypass_msg_received;
  uint32_t router_private1;
  uint32_t msg_sent2relay;
  uint32_t router_private2;
  uint32_t bypass_msg_sent;
  uint8_t router_private3[44];

  bool IsActive() const { return name[0] != L'\0'; }
};

struct wmirouter_perf_t {
  uint64_t update_stamp;
  uint8_t header[600];
  wmirouter_session_t sessions[kSessionSlotCount];
  uint8_t trailer[16];

  int ActiveSessionCount() const;
  int FirstSession() const;
  int NextSession(int slot) const;
};

static_assert(sizeof(wchar_t) == 2, "session names are UTF-16");
static_assert(sizeof(wmirouter_session_t) == 136, "session slot size");
static_assert(offsetof(wmirouter_session_t, relay_msg_received) == 64, "slot offset 64");
static_assert(offsetof(wmirouter_session_t, bypass_msg_received) == 72, "slot offset 72");
static_assert(offsetof(wmirouter_session_t, msg_sent2relay) == 80, "slot offset 80");
static_assert(offsetof(wmirouter_session_t, bypass_msg_sent) == 88, "slot offset 88");
static_assert(offsetof(wmirouter_session_t, router_private3) == 92, "slot offset 92");
static_assert(offsetof(wmirouter_perf_t, update_stamp) == 0, "block offset 0");
static_assert(offsetof(wmirouter_perf_t, header) == 8, "block offset 8");
static_assert(offsetof(wmirouter_perf_t, sessions) == 608, "block offset 608");
static_assert(offsetof(wmirouter_perf_t, trailer) == 35288, "block offset 35288");
static_assert(sizeof(wmirouter_perf_t) == 35304, "block size 35304 (0x89E8)");

// Counter catalogue. The index is the position of the counter's property
// handle and of its value in every per-instance record.
constexpr int kCounterCount = 4;
// Fixed fields of 260 bytes each.
extern const wchar_t kCounterPropertyNames[kCounterCount][130];
extern const size_t kCounterSlotOffsets[kCounterCount];

// Reads counter `index` of a slot: exactly 4 bytes at the catalogue's offset.
inline uint32_t ReadSlotCounter(const wmirouter_session_t& slot, int index) {
  uint32_t value;
  std::memcpy(&value, reinterpret_cast<const uint8_t*>(&slot) + kCounterSlotOffsets[index], sizeof(value));
  return value;
}

// Copies a slot's name without ever reading past the slot: at most 31 units
// before a terminator, or all 32 when the router left none. `out` is always
// terminated. Returns the number of units copied.
size_t CopySessionName(const wmirouter_session_t& slot, wchar_t (&out)[kSessionNameUnits + 1]);

// A Name that is a decimal number and nothing else selects the session at
// that ordinal: optional leading white space and sign, then digits to the end.
// False for any other text; saturates instead of overflowing.
bool ParseOrdinalName(const wchar_t* name, int64_t* ordinal);

// Number of per-instance records; ordinals and indices beyond it are not served.
constexpr int kMaxInstances = 128;
inline bool IsServedIndex(int64_t index) { return index >= 0 && index < kMaxInstances; }
