#include "support/fs/crc.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "support/fs/file_functions.h"

namespace {

constexpr uint32_t kCrc32Polynomial = 0xEDB88320u;            // IEEE 802.3, reflected
constexpr uint64_t kCrc64Polynomial = 0xC96C5795D7870F42ull;  // ECMA-182, reflected
// Files this large or larger are not checksummed.
constexpr int64_t kLargestFile = 2050949000;
constexpr size_t kReadChunk = 1 << 20;

// Tables for reading eight bytes per step ("slicing by 8"): table[k][b] is
// the register change of byte b followed by k zero bytes.
template <typename Register>
struct SlicedTables {
  Register table[8][256];

  constexpr explicit SlicedTables(Register polynomial) : table() {
    for (unsigned byte = 0; byte < 256; ++byte) {
      Register crc = byte;
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ polynomial : crc >> 1;
      table[0][byte] = crc;
    }
    for (unsigned byte = 0; byte < 256; ++byte) {
      for (int slice = 1; slice < 8; ++slice) {
        const Register previous = table[slice - 1][byte];
        table[slice][byte] = (previous >> 8) ^ table[0][previous & 0xFF];
      }
    }
  }
};

constexpr SlicedTables<uint32_t> kCrc32Tables(kCrc32Polynomial);
constexpr SlicedTables<uint64_t> kCrc64Tables(kCrc64Polynomial);

// The eight-byte step loads the bytes in little-endian order, as every
// Windows target stores them.
template <typename Register>
Register Update(const SlicedTables<Register>& tables, Register crc, const void* data, size_t length) {
  const auto& t = tables.table;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (; length >= 8; length -= 8, bytes += 8) {
    uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    word ^= crc;
    crc = t[7][word & 0xFF] ^ t[6][(word >> 8) & 0xFF] ^ t[5][(word >> 16) & 0xFF] ^ t[4][(word >> 24) & 0xFF] ^
          t[3][(word >> 32) & 0xFF] ^ t[2][(word >> 40) & 0xFF] ^ t[1][(word >> 48) & 0xFF] ^ t[0][word >> 56];
  }
  for (; length > 0; --length, ++bytes) crc = t[0][(crc ^ *bytes) & 0xFF] ^ (crc >> 8);
  return crc;
}

class File {
 public:
  explicit File(const wchar_t* path) : file_(_wfopen(path, L"rb")) {}
  ~File() {
    if (file_ != nullptr) std::fclose(file_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  FILE* get() const { return file_; }

 private:
  FILE* file_;
};

// Feeds the file's bytes to `consume` in chunks, at most one byte more than
// the size found beforehand; false when the file is not to be checksummed.
template <typename Consume>
bool ReadFile(const wchar_t* path, int64_t* size, Consume consume) {
  if (size != nullptr) *size = 0;
  if (path == nullptr || path[0] == L'\0' || !FileExists(path)) return false;
  const int64_t length = FileSize(path);
  if (length <= 0) return false;
  if (size != nullptr) *size = length;
  File file(path);
  if (file.get() == nullptr || length >= kLargestFile) return false;
  size_t remaining = static_cast<size_t>(length) + 1;
  std::vector<unsigned char> buffer(remaining < kReadChunk ? remaining : kReadChunk);
  while (remaining > 0) {
    const size_t wanted = remaining < buffer.size() ? remaining : buffer.size();
    const size_t got = std::fread(buffer.data(), 1, wanted, file.get());
    if (got == 0) break;
    consume(buffer.data(), got);
    remaining -= got;
  }
  return true;
}

}  // namespace

uint64_t Crc64Raw(const void* data, size_t length) { return Update<uint64_t>(kCrc64Tables, 0, data, length); }

uint64_t Crc64(const void* data, size_t length) { return ~Update<uint64_t>(kCrc64Tables, ~0ull, data, length); }

uint32_t Crc32Update(uint32_t crc, const void* data, size_t length) {
  return Update<uint32_t>(kCrc32Tables, crc, data, length);
}

uint64_t FileCrc64(const wchar_t* path, int64_t* size) {
  uint64_t crc = ~0ull;
  if (!ReadFile(path, size, [&crc](const unsigned char* bytes, size_t count) {
        crc = Update<uint64_t>(kCrc64Tables, crc, bytes, count);
      })) {
    return 0;
  }
  return ~crc;
}

uint32_t FileCrc32(const wchar_t* path) {
  uint32_t crc = ~0u;
  if (!ReadFile(path, nullptr, [&crc](const unsigned char* bytes, size_t count) {
        crc = Crc32Update(crc, bytes, count);
      })) {
    return 0;
  }
  return ~crc;
}
