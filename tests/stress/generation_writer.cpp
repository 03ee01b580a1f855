#include "tests/stress/generation_writer.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace {

constexpr uint32_t kMarker = 0x80000000u;

struct Decoded {
  int session;
  int counter;
  uint32_t generation;
};

Decoded Decode(uint32_t value) {
  return {static_cast<int>((value >> 25) & 0x3F), static_cast<int>((value >> 23) & 0x3), value & 0x7FFFFF};
}

// The session a name designates, -1 for a decimal ordinal (the provider's
// name for a slot emptied while it walked), -2 for anything else.
int SessionOfName(const std::wstring& name) {
  for (int session = 0; session < GenerationWriter::kSessions; ++session) {
    if (name == GenerationWriter::SessionName(session)) return session;
  }
  if (!name.empty() && name.size() < 4 && std::all_of(name.begin(), name.end(), iswdigit)) return -1;
  return -2;
}

}  // namespace

std::wstring GenerationWriter::SessionName(int session) {
  wchar_t name[kSessionNameUnits];
  swprintf(name, kSessionNameUnits, session < kSteadySessions ? L"steady-%02d" : L"transient-%02d", session);
  return name;
}

bool GenerationWriter::ActiveAt(int session, uint32_t generation) {
  return session < kSteadySessions || (generation / 16 + static_cast<uint32_t>(session)) % 3 != 0;
}

uint32_t GenerationWriter::Encode(int session, int counter, uint32_t generation) {
  return kMarker | static_cast<uint32_t>(session) << 25 | static_cast<uint32_t>(counter) << 23 | generation;
}

void GenerationWriter::Write(uint32_t generation) {
  wmirouter_perf_t& block = router_.Block();
  for (int session = 0; session < kSessions; ++session) {
    wmirouter_session_t& slot = block.sessions[session];
    volatile wchar_t* name = slot.name;
    if (!ActiveAt(session, generation)) {
      name[0] = L'\0';
      continue;
    }
    for (int counter = 0; counter < kCounterCount; ++counter) {
      const uint32_t value = Encode(session, counter, generation);
      std::memcpy(reinterpret_cast<uint8_t*>(&slot) + kCounterSlotOffsets[counter], &value, sizeof(value));
    }
    if (name[0] == L'\0') {
      // The first unit goes last, so a reader never meets half a name.
      const std::wstring full = SessionName(session);
      for (size_t unit = 1; unit <= full.size(); ++unit) name[unit] = full.c_str()[unit];
      std::atomic_thread_fence(std::memory_order_release);
      name[0] = full[0];
    }
  }
  std::atomic_thread_fence(std::memory_order_release);
  static_cast<volatile uint64_t&>(block.update_stamp) = generation;
}

void GenerationWriter::WriteNext() {
  const uint32_t next = generation_.load() + 1;
  if (next > kLastGeneration) return;
  // Announced before it is written, so no reader can meet it unannounced.
  generation_.store(next);
  Write(next);
}

void GenerationWriter::Start() {
  stop_ = false;
  thread_ = std::thread([this] {
    while (!stop_.load()) {
      WriteNext();
      SwitchToThread();
    }
  });
}

void GenerationWriter::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::string GenerationWriter::Check(const wmihost::SessionValues& values) const {
  if (!values.name) return "instance without a name";
  const int named = SessionOfName(*values.name);
  if (named == -2) return "unknown name";
  for (int counter = 0; counter < kCounterCount; ++counter) {
    if (!values.counters[counter]) return "counter " + std::to_string(counter) + " unset";
    const uint32_t value = *values.counters[counter];
    const Decoded decoded = Decode(value);
    const std::string where = "counter " + std::to_string(counter) + " = " + std::to_string(value) + ": ";
    if ((value & kMarker) == 0 || decoded.session >= kSessions) return where + "never written";
    if (decoded.counter != counter) return where + "belongs to counter " + std::to_string(decoded.counter);
    if (decoded.generation == 0 || decoded.generation > Generation()) return where + "generation not yet written";
    if (!ActiveAt(decoded.session, decoded.generation)) return where + "session was not active then";
    // A steady session keeps its ordinal, so its instance must carry its own counters.
    if (named >= 0 && named < kSteadySessions && decoded.session != named) {
      return where + "counters of session " + std::to_string(decoded.session);
    }
  }
  return {};
}
