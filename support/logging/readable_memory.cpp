#include "support/logging/readable_memory.h"

#include <cstring>
#include <cwchar>
#include <windows.h>

namespace {

constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

}  // namespace

bool IsReadable(const void* address, size_t size) { return IsBadReadPtr(address, size) == FALSE; }

bool IsWritable(const void* address, size_t size) {
  if (address == nullptr) return false;
  if (size == 0) return true;
  const char* at = static_cast<const char*>(address);
  const char* last = at + (size - 1);
  if (last < at) return false;  // wraps around the address space
  for (;;) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(at, &info, sizeof info) != sizeof info) return false;
    if (info.State != MEM_COMMIT || (info.Protect & kWritable) == 0 || (info.Protect & PAGE_GUARD) != 0) {
      return false;
    }
    const char* end = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
    if (last < end) return true;
    at = end;
  }
}

// The string checks stop at the terminator or after the count, whichever
// comes first; a string readable that far may still lack a terminator.
ptrdiff_t TerminatedLength(const char* text, size_t maxLength) {
  if (text == nullptr || IsBadStringPtrA(text, maxLength + 1) != FALSE) return -1;
  const size_t length = strnlen(text, maxLength + 1);
  return length <= maxLength ? static_cast<ptrdiff_t>(length) : -1;
}

ptrdiff_t TerminatedLength(const wchar_t* text, size_t maxLength) {
  if (text == nullptr || IsBadStringPtrW(text, maxLength + 1) != FALSE) return -1;
  const size_t length = wcsnlen(text, maxLength + 1);
  return length <= maxLength ? static_cast<ptrdiff_t>(length) : -1;
}

ptrdiff_t ReadablePrefixLength(const char* text, size_t maxLength) {
  if (text == nullptr || IsBadStringPtrA(text, maxLength) != FALSE) return -1;
  return static_cast<ptrdiff_t>(strnlen(text, maxLength));
}

ptrdiff_t ReadablePrefixLength(const wchar_t* text, size_t maxLength) {
  if (text == nullptr || IsBadStringPtrW(text, maxLength) != FALSE) return -1;
  return static_cast<ptrdiff_t>(wcsnlen(text, maxLength));
}

// With no count to stop at, the checks read on to the terminator.
bool IsReadableString(const char* text) {
  return text != nullptr && IsBadStringPtrA(text, static_cast<UINT_PTR>(-1)) == FALSE;
}

bool IsReadableString(const wchar_t* text) {
  return text != nullptr && IsBadStringPtrW(text, static_cast<UINT_PTR>(-1)) == FALSE;
}
