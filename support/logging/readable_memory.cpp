#include "support/logging/readable_memory.h"

#include <windows.h>

namespace {

constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                            PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

}  // namespace

bool ReadableMemory::Locate(const char* address) {
  if (address >= begin_ && address < end_) return true;
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(address, &info, sizeof info) != sizeof info) return false;
  if (info.State != MEM_COMMIT || (info.Protect & kReadable) == 0 || (info.Protect & PAGE_GUARD) != 0) return false;
  begin_ = static_cast<const char*>(info.BaseAddress);
  end_ = begin_ + info.RegionSize;
  writable_ = (info.Protect & kWritable) != 0;
  return true;
}

bool ReadableMemory::Covers(const char* address, size_t size, bool write) {
  if (address == nullptr) return false;
  if (size == 0) return true;
  const char* last = address + (size - 1);
  if (last < address) return false;  // wraps around the address space
  for (const char* at = address;;) {
    if (!Locate(at) || (write && !writable_)) return false;
    if (last < end_) return true;
    at = end_;
  }
}

bool ReadableMemory::IsReadable(const void* address, size_t size) {
  return Covers(static_cast<const char*>(address), size, false);
}

bool ReadableMemory::IsWritable(const void* address, size_t size) {
  return Covers(static_cast<const char*>(address), size, true);
}

template <typename Char>
ptrdiff_t ReadableMemory::Measure(const Char* text, size_t maxLength) {
  for (size_t length = 0; length <= maxLength; ++length) {
    const Char* at = text + length;
    // Whole characters: a misaligned wide string may straddle two regions.
    if (!Covers(reinterpret_cast<const char*>(at), sizeof(Char), false)) return -1;
    if (*at == 0) return static_cast<ptrdiff_t>(length);
  }
  return -1;
}

ptrdiff_t ReadableMemory::StringLength(const char* text, size_t maxLength) { return Measure(text, maxLength); }

ptrdiff_t ReadableMemory::StringLength(const wchar_t* text, size_t maxLength) { return Measure(text, maxLength); }
