// The performance-data walkers over blocks built here: exact results for
// well-formed blocks, and 100,000+ damaged blocks each (cut short, lying
// lengths, offsets and counts, unterminated names) read from memory that
// ends at an inaccessible page, so any read past the block faults the test.
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>
#include <winperf.h>

#include "support/environment/perf_data.h"

namespace {

constexpr uint32_t kIdProcess = 784;

class Block {
 public:
  template <typename T>
  size_t Add(const T& value) {
    const size_t at = bytes_.size();
    bytes_.resize(at + sizeof(T));
    std::memcpy(&bytes_[at], &value, sizeof(T));
    return at;
  }
  template <typename T>
  T* At(size_t offset) {
    return reinterpret_cast<T*>(&bytes_[offset]);
  }
  std::vector<unsigned char>& bytes() { return bytes_; }

 private:
  std::vector<unsigned char> bytes_;
};

PERF_DATA_BLOCK Header() {
  PERF_DATA_BLOCK header{};
  std::memcpy(header.Signature, L"PERF", sizeof(header.Signature));
  header.HeaderLength = sizeof(PERF_DATA_BLOCK);
  header.NumObjectTypes = 1;
  return header;
}

PERF_COUNTER_DEFINITION Counter(uint32_t nameIndex, uint32_t offset, uint32_t size) {
  PERF_COUNTER_DEFINITION counter{};
  counter.ByteLength = sizeof(counter);
  counter.CounterNameTitleIndex = nameIndex;
  counter.CounterSize = size;
  counter.CounterOffset = offset;
  return counter;
}

// A System object with `counters` 64-bit counters, the up-time one at
// position `upTimeAt` (none when out of range).
std::vector<unsigned char> SystemBlock(int64_t now, int64_t frequency, int64_t started, uint32_t counters,
                                       uint32_t upTimeAt) {
  Block block;
  const size_t header = block.Add(Header());
  PERF_OBJECT_TYPE object{};
  object.HeaderLength = sizeof(object);
  object.DefinitionLength = sizeof(object) + counters * sizeof(PERF_COUNTER_DEFINITION);
  object.NumCounters = counters;
  object.NumInstances = PERF_NO_INSTANCES;
  object.PerfTime.QuadPart = now;
  object.PerfFreq.QuadPart = frequency;
  const size_t objectAt = block.Add(object);
  for (uint32_t i = 0; i < counters; ++i) {
    block.Add(Counter(i == upTimeAt ? perf_data::kSystemUpTimeCounter : 1000 + i, 8 + 8 * i, 8));
  }
  block.Add(PERF_COUNTER_BLOCK{8 + 8 * counters});
  block.Add<uint32_t>(0);  // the values start 8 bytes in
  for (uint32_t i = 0; i < counters; ++i) block.Add<int64_t>(i == upTimeAt ? started : 12345);
  block.At<PERF_OBJECT_TYPE>(objectAt)->TotalByteLength = static_cast<DWORD>(block.bytes().size() - objectAt);
  block.At<PERF_DATA_BLOCK>(header)->TotalByteLength = static_cast<DWORD>(block.bytes().size());
  return block.bytes();
}

// A Process object: counters "other" (offset 8) and "id process" (offset 12).
std::vector<unsigned char> ProcessBlock(const std::vector<perf_data::Process>& processes, LONG instanceCount) {
  Block block;
  const size_t header = block.Add(Header());
  PERF_OBJECT_TYPE object{};
  object.HeaderLength = sizeof(object);
  object.DefinitionLength = sizeof(object) + 2 * sizeof(PERF_COUNTER_DEFINITION);
  object.NumCounters = 2;
  object.NumInstances = instanceCount;
  const size_t objectAt = block.Add(object);
  block.Add(Counter(6, 8, 4));
  block.Add(Counter(kIdProcess, 12, 4));
  for (const auto& process : processes) {
    const size_t nameBytes = (process.name.size() + 1) * sizeof(wchar_t);
    const size_t padded = (nameBytes + 7) / 8 * 8;
    PERF_INSTANCE_DEFINITION instance{};
    instance.ByteLength = static_cast<DWORD>(sizeof(instance) + padded);
    instance.NameOffset = sizeof(instance);
    instance.NameLength = static_cast<DWORD>(nameBytes);
    block.Add(instance);
    const size_t nameAt = block.bytes().size();
    block.bytes().resize(nameAt + padded);
    std::memcpy(&block.bytes()[nameAt], process.name.c_str(), nameBytes);
    block.Add(PERF_COUNTER_BLOCK{16});
    block.Add<uint32_t>(0);
    block.Add<uint32_t>(0xEEEEEEEE);
    block.Add<uint32_t>(process.id);
  }
  block.At<PERF_OBJECT_TYPE>(objectAt)->TotalByteLength = static_cast<DWORD>(block.bytes().size() - objectAt);
  block.At<PERF_DATA_BLOCK>(header)->TotalByteLength = static_cast<DWORD>(block.bytes().size());
  return block.bytes();
}

std::vector<perf_data::Process> Processes(size_t count, std::mt19937& random) {
  std::vector<perf_data::Process> processes(count);
  for (size_t i = 0; i < count; ++i) {
    processes[i].name = L"proc" + std::to_wstring(i) + std::wstring(random() % 20, L'x');
    processes[i].id = random();
  }
  return processes;
}

// Memory whose last readable byte is followed by an inaccessible page; a
// block is copied so that it ends exactly there.
class GuardedBuffer {
 public:
  static constexpr size_t kCapacity = 1 << 16;
  GuardedBuffer() {
    base_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, kCapacity + 4096, MEM_COMMIT | MEM_RESERVE,
                                                     PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(base_ + kCapacity, 4096, PAGE_NOACCESS, &old);
  }
  ~GuardedBuffer() { VirtualFree(base_, 0, MEM_RELEASE); }
  const unsigned char* Place(const std::vector<unsigned char>& bytes) {
    unsigned char* start = base_ + kCapacity - bytes.size();
    if (!bytes.empty()) std::memcpy(start, bytes.data(), bytes.size());
    return start;
  }

 private:
  unsigned char* base_ = nullptr;
};

TEST(PerfData, UpTimeOfWellFormedAndRefusedBlocks) {
  GuardedBuffer guarded;
  auto block = SystemBlock(1000000, 100, 100, 5, 3);
  auto upTime = perf_data::ReadUpTime(guarded.Place(block), block.size());
  EXPECT_EQ(perf_data::UpTime::Status::kFound, upTime.status);
  EXPECT_EQ(9999, upTime.seconds);

  block = SystemBlock(1000000, 100, 100, 5, 9);  // no up-time counter
  EXPECT_EQ(perf_data::UpTime::Status::kNotFound, perf_data::ReadUpTime(guarded.Place(block), block.size()).status);
  for (const int64_t frequency : {0LL, -5LL}) {
    block = SystemBlock(1000000, frequency, 100, 1, 0);
    upTime = perf_data::ReadUpTime(guarded.Place(block), block.size());
    EXPECT_EQ(perf_data::UpTime::Status::kFound, upTime.status);
    EXPECT_EQ(-1, upTime.seconds);
  }
  block = SystemBlock(5, 1, 6, 1, 0);  // started after now
  EXPECT_EQ(-1, perf_data::ReadUpTime(guarded.Place(block), block.size()).seconds);
  block = SystemBlock(1000000, 100, 100, 1, 0);
  reinterpret_cast<PERF_DATA_BLOCK*>(block.data())->HeaderLength = 4000;
  reinterpret_cast<PERF_DATA_BLOCK*>(block.data())->TotalByteLength = 4000;
  upTime = perf_data::ReadUpTime(guarded.Place(block), block.size());
  EXPECT_EQ(perf_data::UpTime::Status::kBadHeader, upTime.status);
  EXPECT_EQ(4000u, upTime.headerLength);
  EXPECT_EQ(4000u, upTime.totalByteLength);
  // Wine's stub block: a header and no objects.
  block.resize(sizeof(PERF_DATA_BLOCK));
  *reinterpret_cast<PERF_DATA_BLOCK*>(block.data()) = Header();
  reinterpret_cast<PERF_DATA_BLOCK*>(block.data())->TotalByteLength = 96;
  EXPECT_EQ(-1, perf_data::ReadUpTime(guarded.Place(block), block.size()).seconds);
  EXPECT_EQ(-1, perf_data::ReadUpTime(nullptr, 100).seconds);
}

TEST(PerfData, ProcessesOfWellFormedBlocks) {
  GuardedBuffer guarded;
  std::mt19937 random(3);
  const auto processes = Processes(3, random);
  auto block = ProcessBlock(processes, 3);
  std::vector<perf_data::Process> read;
  ASSERT_TRUE(perf_data::ReadProcesses(guarded.Place(block), block.size(), kIdProcess, &read));
  ASSERT_EQ(3u, read.size());
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(processes[i].name, read[i].name);
    EXPECT_EQ(processes[i].id, read[i].id);
  }
  // Without the id counter the value at offset 0 is read: the counter block's length.
  read.clear();
  ASSERT_TRUE(perf_data::ReadProcesses(guarded.Place(block), block.size(), 9999, &read));
  EXPECT_EQ(16u, read[0].id);

  const auto many = Processes(300, random);
  block = ProcessBlock(many, 300);
  read.clear();
  ASSERT_TRUE(perf_data::ReadProcesses(guarded.Place(block), block.size(), kIdProcess, &read));
  EXPECT_EQ(perf_data::kMaxProcesses, read.size());

  block = ProcessBlock({}, PERF_NO_INSTANCES);
  read.clear();
  EXPECT_TRUE(perf_data::ReadProcesses(guarded.Place(block), block.size(), kIdProcess, &read));
  EXPECT_TRUE(read.empty());

  block = ProcessBlock(processes, 3);
  block[0] = 'X';
  EXPECT_FALSE(perf_data::ReadProcesses(guarded.Place(block), block.size(), kIdProcess, &read));
}

TEST(PerfData, CounterIndexesFromTheNameList) {
  const wchar_t names[] = L"1\0Counter 1\0" L"230\0Process\0" L"784\0ID Process\0" L"6\0% Processor";
  std::wstring process;
  uint32_t id = 0;
  // The last name has no terminator inside the given length.
  perf_data::FindProcessCounterIndexes(names, sizeof(names) / sizeof(wchar_t) - 1, &process, &id);
  EXPECT_EQ(L"230", process);
  EXPECT_EQ(784u, id);
}

// Damages a well-formed block the way a lying or cut-short block would be.
void Damage(std::vector<unsigned char>& block, std::mt19937& random) {
  static const uint32_t kLies[] = {0, 1, 4, 7, 8, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFF0, 0x10000};
  const int damages = 1 + random() % 4;
  for (int d = 0; d < damages && !block.empty(); ++d) {
    switch (random() % 4) {
      case 0:  // cut short
        block.resize(random() % block.size());
        break;
      case 1:  // a lying 32-bit field anywhere, aligned as the headers are
      case 2: {
        if (block.size() < 4) break;
        const size_t at = (random() % (block.size() / 4)) * 4;
        const uint32_t lie = random() % 3 == 0 ? static_cast<uint32_t>(random()) : kLies[random() % 10];
        std::memcpy(&block[at], &lie, 4);
        break;
      }
      default:  // text without terminators
        for (size_t at = block.size() / 2; at < block.size(); ++at) block[at] = 'A';
        break;
    }
  }
}

TEST(PerfData, DamagedBlocksAreReadWithinTheirBytes) {
  GuardedBuffer guarded;
  std::mt19937 random(20261209);
  constexpr int kBlocks = 100000;
  int upTimesFound = 0;
  size_t processesRead = 0;
  for (int i = 0; i < kBlocks; ++i) {
    auto system = SystemBlock(random(), 1 + random() % 1000, random() % 1000, random() % 6, random() % 7);
    Damage(system, random);
    upTimesFound += perf_data::ReadUpTime(guarded.Place(system), system.size()).status ==
                    perf_data::UpTime::Status::kFound;

    auto processes = ProcessBlock(Processes(random() % 5, random), static_cast<LONG>(random() % 7) - 1);
    Damage(processes, random);
    std::vector<perf_data::Process> read;
    perf_data::ReadProcesses(guarded.Place(processes), processes.size(), kIdProcess, &read);
    ASSERT_LE(read.size(), perf_data::kMaxProcesses);
    processesRead += read.size();
  }
  // The damage leaves enough blocks readable for the walks to go deep.
  EXPECT_GT(upTimesFound, kBlocks / 20);
  EXPECT_GT(processesRead, static_cast<size_t>(kBlocks / 10));
}

}  // namespace
