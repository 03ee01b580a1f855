#pragma once
// CRC checksums of buffers and whole files: CRC-32 as zlib computes it and
// CRC-64/XZ (the ECMA-182 polynomial, reflected).

#include <cstddef>
#include <cstdint>

// CRC-64/XZ: starts from all ones, inverted at the end.
uint64_t Crc64(const void* data, size_t length);
// The same register arithmetic from 0 without the final inversion.
uint64_t Crc64Raw(const void* data, size_t length);
// One pass of the CRC-32 register over the data, without inversion; the
// standard CRC-32 is ~Crc32Update(0xFFFFFFFF, data, length).
uint32_t Crc32Update(uint32_t crc, const void* data, size_t length);

// Checksums of a whole file's content; 0 for a missing, empty or unreadable
// file. FileCrc64 stores the file's size in `size` when it is given.
uint64_t FileCrc64(const wchar_t* path, int64_t* size);
uint32_t FileCrc32(const wchar_t* path);
