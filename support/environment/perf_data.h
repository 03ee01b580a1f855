#pragma once
// Walkers over performance data blocks (HKEY_PERFORMANCE_DATA). The data is
// binary and comes from outside: every header field is checked against the
// bytes actually returned before it is followed, whatever the block claims.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace perf_data {

constexpr uint32_t kSystemUpTimeCounter = 674;
constexpr size_t kMaxProcesses = 256;

struct UpTime {
  enum class Status { kFound, kBadHeader, kNotFound };
  Status status = Status::kNotFound;
  int64_t seconds = -1;  // -1 unless found and the clock values make sense
  // The block's own lengths, for the report of a bad header.
  uint32_t headerLength = 0;
  uint32_t totalByteLength = 0;
};

// The System Up Time counter of the block's first object.
UpTime ReadUpTime(const void* data, size_t size);

struct Process {
  std::wstring name;
  uint32_t id = 0;
};

// False when the block is not performance data (too short or no "PERF"
// signature). Otherwise the first object's instances (at most kMaxProcesses),
// each with the 32-bit value of the counter whose name index is
// `idCounterIndex` (offset 0 when no counter has it).
bool ReadProcesses(const void* data, size_t size, uint32_t idCounterIndex, std::vector<Process>* processes);

// From the "Counters" text (NUL-separated index and name pairs): the index
// text of "process" and the index of "id process", names compared ignoring
// case. Stays within `units` even without a final terminator.
void FindProcessCounterIndexes(const wchar_t* text, size_t units, std::wstring* processIndex,
                               uint32_t* idProcessIndex);

}  // namespace perf_data
