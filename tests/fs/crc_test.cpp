// Checksums against published check values, a bit-at-a-time reference, and
// Python's zlib and xz over random files made at build time.
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fs/crc.h"
#include "tests/fs/scratch_folder.h"

namespace {

// The textbook definition, one bit at a time: shares nothing with the tables.
template <typename Register>
Register BitwiseRegister(Register crc, Register polynomial, const std::string& data) {
  for (unsigned char byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ polynomial : crc >> 1;
  }
  return crc;
}

uint32_t Crc32(const std::string& data) { return ~Crc32Update(0xFFFFFFFFu, data.data(), data.size()); }

TEST(Crc, PublishedCheckValues) {
  struct Vector {
    const char* text;
    uint32_t crc32;
    uint64_t crc64;
  };
  const Vector vectors[] = {
      {"123456789", 0xCBF43926u, 0x995DC9BBDF1939FAull},
      {"abc", 0x352441C2u, 0x2CD8094A1A277627ull},
      {"", 0u, 0ull},
  };
  for (const auto& vector : vectors) {
    const std::string text = vector.text;
    EXPECT_EQ(vector.crc32, Crc32(text)) << text;
    EXPECT_EQ(vector.crc64, Crc64(text.data(), text.size())) << text;
  }
  EXPECT_EQ(0xC621568C6AFEAD61ull, Crc64Raw("abc", 3));
}

TEST(Crc, EightByteStepsAgreeWithBitwiseAtEveryLengthAndAlignment) {
  std::mt19937 random(7);
  std::string buffer(300, '\0');
  for (auto& byte : buffer) byte = static_cast<char>(random());
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t length = 0; length + offset <= 80; ++length) {
      const std::string data = buffer.substr(offset, length);
      const char* start = buffer.data() + offset;
      ASSERT_EQ(BitwiseRegister<uint32_t>(0x12345678u, 0xEDB88320u, data), Crc32Update(0x12345678u, start, length));
      ASSERT_EQ(~BitwiseRegister<uint64_t>(~0ull, 0xC96C5795D7870F42ull, data), Crc64(start, length));
      ASSERT_EQ(BitwiseRegister<uint64_t>(0, 0xC96C5795D7870F42ull, data), Crc64Raw(start, length));
    }
  }
  // Updating in pieces continues the register exactly.
  const uint32_t whole = Crc32Update(~0u, buffer.data(), buffer.size());
  EXPECT_EQ(whole, Crc32Update(Crc32Update(~0u, buffer.data(), 13), buffer.data() + 13, buffer.size() - 13));
}

TEST(Crc, FilesMatchPythonZlibAndXz) {
  const std::string folder = FERNWICK_CRC_REFERENCE_DIR;
  std::ifstream manifest(folder + "/manifest.txt");
  ASSERT_TRUE(manifest) << folder;
  int files = 0;
  std::string line;
  while (std::getline(manifest, line)) {
    std::istringstream fields(line);
    std::string name;
    int64_t size = 0;
    uint32_t crc32 = 0;
    uint64_t crc64 = 0;
    fields >> name >> size >> std::hex >> crc32 >> crc64;
    const std::wstring path = L"Z:" + std::wstring(folder.begin(), folder.end()) + L"/" +
                              std::wstring(name.begin(), name.end());
    int64_t reportedSize = -1;
    EXPECT_EQ(crc64, FileCrc64(path.c_str(), &reportedSize)) << name;
    EXPECT_EQ(size, reportedSize) << name;
    EXPECT_EQ(crc32, FileCrc32(path.c_str())) << name;
    ++files;
  }
  EXPECT_GE(files, 10);
}

TEST(Crc, FilesWithoutContentGiveZero) {
  ScratchFolder scratch;
  scratch.File(L"empty.txt", "");
  scratch.File(L"abc.txt", "abc");
  const std::wstring overlong = scratch.Path(std::wstring(300, L'a'));
  for (const std::wstring& path : {scratch.Path(L"empty.txt"), scratch.Path(L"missing.txt"), scratch.path(),
                                   overlong, std::wstring()}) {
    int64_t size = 99;
    EXPECT_EQ(0u, FileCrc64(path.c_str(), &size)) << path;
    EXPECT_EQ(0, size) << path;
    EXPECT_EQ(0u, FileCrc32(path.c_str())) << path;
  }
  EXPECT_EQ(0u, FileCrc32(nullptr));
  EXPECT_EQ(0u, FileCrc64(nullptr, nullptr));
  int64_t size = 0;
  EXPECT_EQ(0x2CD8094A1A277627ull, FileCrc64(scratch.Path(L"abc.txt").c_str(), &size));
  EXPECT_EQ(3, size);
  EXPECT_EQ(0x352441C2u, FileCrc32(scratch.Path(L"abc.txt").c_str()));
}

}  // namespace
