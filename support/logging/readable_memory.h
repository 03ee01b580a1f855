#pragma once
// Tests whether memory can be read (or written) without touching it, from the
// virtual-memory map, so that a bad pointer handed to the logger is refused
// rather than faulted on. Unlike probing reads, a query never trips a guard
// page and works the same with every compiler.
//
// Remembers the last region it looked up: the arguments of one log call
// usually share the stack or one heap region.

#include <cstddef>

class ReadableMemory {
 public:
  bool IsReadable(const void* address, size_t size);
  bool IsWritable(const void* address, size_t size);
  // The length of a string that is readable and terminated within
  // `maxLength` characters, or -1.
  ptrdiff_t StringLength(const char* text, size_t maxLength);
  ptrdiff_t StringLength(const wchar_t* text, size_t maxLength);

 private:
  // Makes [begin_, end_) the region around `address`; false when unreadable.
  bool Locate(const char* address);
  bool Covers(const char* address, size_t size, bool write);
  template <typename Char>
  ptrdiff_t Measure(const Char* text, size_t maxLength);

  const char* begin_ = nullptr;
  const char* end_ = nullptr;
  bool writable_ = false;
};
