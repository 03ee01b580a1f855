#pragma once
// Tests whether memory can be read or written without faulting, so that a bad
// pointer handed to the logger is refused rather than dereferenced.
//
// Reads are probed with the platform's guarded read checks (IsBadReadPtr and
// its string forms): a few nanoseconds, where a virtual-memory query costs
// microseconds under Wine. Writability is judged from the memory map instead,
// since the platform's write check writes, and could lose a concurrent store.

#include <cstddef>

bool IsReadable(const void* address, size_t size);
bool IsWritable(const void* address, size_t size);
// The length of a string that is readable and terminated within `maxLength`
// characters, or -1.
ptrdiff_t TerminatedLength(const char* text, size_t maxLength);
ptrdiff_t TerminatedLength(const wchar_t* text, size_t maxLength);
// The length of a string readable up to its terminator or `maxLength`
// characters, whichever comes first (so at most `maxLength`), or -1.
ptrdiff_t ReadablePrefixLength(const char* text, size_t maxLength);
ptrdiff_t ReadablePrefixLength(const wchar_t* text, size_t maxLength);
// Whether a string can be read up to its terminator, however long it is.
bool IsReadableString(const char* text);
bool IsReadableString(const wchar_t* text);
