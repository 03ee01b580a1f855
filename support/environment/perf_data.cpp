#include "support/environment/perf_data.h"

#include <cstring>
#include <cwchar>
#include <cwctype>
#include <windows.h>
#include <winperf.h>

namespace perf_data {

namespace {

// Reads fixed-size records out of the returned bytes; a record that does not
// lie wholly inside them is refused. Offsets are added with overflow checks.
class Bytes {
 public:
  Bytes(const void* data, size_t size) : data_(static_cast<const unsigned char*>(data)), size_(data ? size : 0) {}

  template <typename T>
  bool Read(size_t offset, T* out) const {
    if (offset > size_ || size_ - offset < sizeof(T)) return false;
    std::memcpy(out, data_ + offset, sizeof(T));
    return true;
  }
  // offset + delta, false when it overflows or leaves the bytes.
  bool Advance(size_t offset, size_t delta, size_t* result) const {
    if (offset > size_ || delta > size_ - offset) return false;
    *result = offset + delta;
    return true;
  }
  // Up to `bytes` bytes of UTF-16 text at offset, ending at the first NUL or
  // at the end of the bytes.
  std::wstring Text(size_t offset, size_t bytes) const {
    std::wstring text;
    for (size_t at = offset; bytes >= sizeof(wchar_t); at += sizeof(wchar_t), bytes -= sizeof(wchar_t)) {
      wchar_t unit;
      if (!Read(at, &unit) || unit == L'\0') break;
      text += unit;
    }
    return text;
  }

 private:
  const unsigned char* data_;
  size_t size_;
};

struct FirstObject {
  size_t offset = 0;
  PERF_OBJECT_TYPE header{};
};

bool ReadFirstObject(const Bytes& bytes, const PERF_DATA_BLOCK& block, FirstObject* object) {
  object->offset = block.HeaderLength;
  return bytes.Read(object->offset, &object->header);
}

// The offset of the counter with this name index among the object's
// definitions (at most its counter count); false when none has it.
bool FindCounterOffset(const Bytes& bytes, const FirstObject& object, uint32_t nameIndex, uint32_t* counterOffset) {
  size_t at = 0;
  if (!bytes.Advance(object.offset, object.header.HeaderLength, &at)) return false;
  for (DWORD index = 0; index < object.header.NumCounters; ++index) {
    PERF_COUNTER_DEFINITION counter;
    if (!bytes.Read(at, &counter)) return false;
    if (counter.CounterNameTitleIndex == nameIndex) {
      *counterOffset = counter.CounterOffset;
      return true;
    }
    // A definition shorter than its record would walk in place or backwards.
    if (counter.ByteLength < sizeof(counter) || !bytes.Advance(at, counter.ByteLength, &at)) return false;
  }
  return false;
}

bool IsPerfSignature(const PERF_DATA_BLOCK& block) {
  return block.Signature[0] == L'P' && block.Signature[1] == L'E' && block.Signature[2] == L'R' &&
         block.Signature[3] == L'F';
}

}  // namespace

UpTime ReadUpTime(const void* data, size_t size) {
  UpTime result;
  const Bytes bytes(data, size);
  PERF_DATA_BLOCK block;
  if (!bytes.Read(0, &block)) return result;
  result.headerLength = block.HeaderLength;
  result.totalByteLength = block.TotalByteLength;
  if (block.HeaderLength >= block.TotalByteLength) {
    result.status = UpTime::Status::kBadHeader;
    return result;
  }
  FirstObject object;
  uint32_t counterOffset = 0;
  if (!ReadFirstObject(bytes, block, &object) ||
      !FindCounterOffset(bytes, object, kSystemUpTimeCounter, &counterOffset)) {
    return result;
  }
  size_t at = 0;
  LONGLONG started = 0;
  if (!bytes.Advance(object.offset, object.header.DefinitionLength, &at) || !bytes.Advance(at, counterOffset, &at) ||
      !bytes.Read(at, &started)) {
    return result;
  }
  result.status = UpTime::Status::kFound;
  const LONGLONG now = object.header.PerfTime.QuadPart;
  const LONGLONG frequency = object.header.PerfFreq.QuadPart;
  // A zero or negative frequency would divide by zero or run time backwards.
  if (frequency > 0 && now >= started) result.seconds = (now - started) / frequency;
  return result;
}

bool ReadProcesses(const void* data, size_t size, uint32_t idCounterIndex, std::vector<Process>* processes) {
  const Bytes bytes(data, size);
  PERF_DATA_BLOCK block;
  if (!bytes.Read(0, &block) || !IsPerfSignature(block)) return false;
  FirstObject object;
  if (!ReadFirstObject(bytes, block, &object)) return true;
  uint32_t idOffset = 0;
  if (!FindCounterOffset(bytes, object, idCounterIndex, &idOffset)) idOffset = 0;
  // A negative count (no instances) has no instance records at all.
  const LONG instances = object.header.NumInstances;
  size_t at = 0;
  if (instances <= 0 || !bytes.Advance(object.offset, object.header.DefinitionLength, &at)) return true;
  for (LONG index = 0; index < instances && processes->size() < kMaxProcesses; ++index) {
    PERF_INSTANCE_DEFINITION instance;
    size_t name = 0;
    size_t counters = 0;
    PERF_COUNTER_BLOCK counterBlock;
    size_t value = 0;
    uint32_t id = 0;
    if (!bytes.Read(at, &instance) || instance.ByteLength < sizeof(instance) ||
        !bytes.Advance(at, instance.ByteLength, &counters) || !bytes.Read(counters, &counterBlock) ||
        counterBlock.ByteLength < sizeof(counterBlock) || !bytes.Advance(counters, idOffset, &value) || !bytes.Read(value, &id)) {
      break;
    }
    Process process;
    if (bytes.Advance(at, instance.NameOffset, &name)) process.name = bytes.Text(name, instance.NameLength);
    process.id = id;
    processes->push_back(std::move(process));
    if (!bytes.Advance(counters, counterBlock.ByteLength, &at)) break;
  }
  return true;
}

void FindProcessCounterIndexes(const wchar_t* text, size_t units, std::wstring* processIndex,
                               uint32_t* idProcessIndex) {
  std::wstring previous;
  size_t at = 0;
  while (text != nullptr && at < units) {
    size_t end = at;
    while (end < units && text[end] != L'\0') ++end;
    const std::wstring item(text + at, end - at);
    if (_wcsicmp(item.c_str(), L"process") == 0) *processIndex = previous;
    if (_wcsicmp(item.c_str(), L"id process") == 0) {
      *idProcessIndex = static_cast<uint32_t>(std::wcstoul(previous.c_str(), nullptr, 10));
    }
    previous = item;
    at = end + 1;
  }
}

}  // namespace perf_data
