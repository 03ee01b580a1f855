// FsBench: the recursive file listing beside a bare FindFirstFile/FindNextFile
// walk of the same tree, and the file checksums beside a byte-at-a-time table
// CRC of the same bytes. Prints times and ratios; asserts nothing about speed.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <windows.h>

#include "support/fs/crc.h"
#include "support/fs/folder_list.h"

namespace {

namespace fs = std::filesystem;

double BestSeconds(int rounds, const std::function<void()>& work) {
  double best = 1e9;
  for (int round = 0; round < rounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    work();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

// 10 folders of 10 subfolders, 100 files in each subfolder: 10,000 files.
void MakeTree(const fs::path& root) {
  for (int top = 0; top < 10; ++top) {
    for (int sub = 0; sub < 10; ++sub) {
      const fs::path folder = root / ("top" + std::to_string(top)) / ("sub" + std::to_string(sub));
      fs::create_directories(folder);
      for (int file = 0; file < 100; ++file) std::ofstream(folder / ("file" + std::to_string(file) + ".dat")) << "x";
    }
  }
}

void BareWalk(const std::wstring& folder, std::vector<std::wstring>& files) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring path = folder + L"\\" + data.cFileName;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      files.push_back(path);
    } else if (std::wcscmp(data.cFileName, L".") != 0 && std::wcscmp(data.cFileName, L"..") != 0) {
      BareWalk(path, files);
    }
  } while (FindNextFileW(search, &data));
  FindClose(search);
}

template <typename Register>
struct ByteTable {
  Register table[256];
  explicit ByteTable(Register polynomial) {
    for (unsigned byte = 0; byte < 256; ++byte) {
      Register crc = byte;
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ polynomial : crc >> 1;
      table[byte] = crc;
    }
  }
  Register Run(const std::vector<unsigned char>& data) const {
    Register crc = ~Register(0);
    for (unsigned char byte : data) crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    return ~crc;
  }
};

void BenchListing() {
  const fs::path root = fs::temp_directory_path() / ("fernwick_fsbench_" + std::to_string(GetCurrentProcessId()));
  MakeTree(root);
  size_t listed = 0;
  size_t walked = 0;
  // Rounds of the two alternate, so a busy machine slows both alike; the
  // best round of each counts.
  double listing = 1e9;
  double bare = 1e9;
  for (int round = 0; round < 15; ++round) {
    listing = std::min(listing, BestSeconds(1, [&] {
                         std::set<std::wstring> files;
                         fts::FilesList(root.wstring().c_str(), nullptr, true, files);
                         listed = files.size();
                       }));
    bare = std::min(bare, BestSeconds(1, [&] {
                      std::vector<std::wstring> files;
                      BareWalk(root.wstring(), files);
                      walked = files.size();
                    }));
  }
  // The listing reads each folder's identity to keep out of loops; the bare
  // walk has no such guard.
  std::printf("listing of %zu files: fts::FilesList %.1f ms, bare walk (%zu files) %.1f ms, ratio %.2f (target <= 1.3)\n",
              listed, listing * 1e3, walked, bare * 1e3, listing / bare);
  fs::remove_all(root);
}

void BenchCrc() {
  const size_t size = 64u << 20;
  std::vector<unsigned char> data(size);
  std::mt19937_64 random(42);
  for (size_t i = 0; i < size; i += 8) {
    const uint64_t value = random();
    std::memcpy(&data[i], &value, 8);
  }
  const fs::path file = fs::temp_directory_path() / ("fernwick_crcbench_" + std::to_string(GetCurrentProcessId()));
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), size);
  const ByteTable<uint32_t> table32(0xEDB88320u);
  const ByteTable<uint64_t> table64(0xC96C5795D7870F42ull);
  uint32_t base32 = 0, file32 = 0, memory32 = 0;
  uint64_t base64 = 0, file64 = 0, memory64 = 0;
  const double tBase32 = BestSeconds(3, [&] { base32 = table32.Run(data); });
  const double tBase64 = BestSeconds(3, [&] { base64 = table64.Run(data); });
  const double tFile32 = BestSeconds(3, [&] { file32 = FileCrc32(file.wstring().c_str()); });
  const double tFile64 = BestSeconds(3, [&] { file64 = FileCrc64(file.wstring().c_str(), nullptr); });
  const double tMemory32 = BestSeconds(3, [&] { memory32 = ~Crc32Update(~0u, data.data(), size); });
  const double tMemory64 = BestSeconds(3, [&] { memory64 = Crc64(data.data(), size); });
  const double megabytes = static_cast<double>(size) / (1 << 20);
  std::printf("CRC-32 of 64 MB: byte-at-a-time %.0f MB/s, FileCrc32 %.0f MB/s (%.2fx), Crc32Update %.0f MB/s (%.2fx), %s\n",
              megabytes / tBase32, megabytes / tFile32, tBase32 / tFile32, megabytes / tMemory32, tBase32 / tMemory32,
              base32 == file32 && base32 == memory32 ? "identical" : "DIFFERENT");
  std::printf("CRC-64 of 64 MB: byte-at-a-time %.0f MB/s, FileCrc64 %.0f MB/s (%.2fx), Crc64 %.0f MB/s (%.2fx), %s\n",
              megabytes / tBase64, megabytes / tFile64, tBase64 / tFile64, megabytes / tMemory64, tBase64 / tMemory64,
              base64 == file64 && base64 == memory64 ? "identical" : "DIFFERENT");
  fs::remove(file);
}

}  // namespace

int main() {
  BenchListing();
  BenchCrc();
  return 0;
}
