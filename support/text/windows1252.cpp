#include "support/text/windows1252.h"

#include <array>
#include <cstdint>

#if defined(_M_X64) || defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace zel {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;

// Bytes 0x80 to 0x9F; the five bytes the code page leaves unassigned read as
// the replacement character.
constexpr wchar_t kHighControls[32] = {
    0x20AC, kReplacement, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030,       0x0160, 0x2039, 0x0152, kReplacement, 0x017D, kReplacement,
    kReplacement, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122,       0x0161, 0x203A, 0x0153, kReplacement, 0x017E, 0x0178};

// Encoding goes through pages of 256 units: page 0 is the identity, the
// pages the table's characters live in map them to their bytes and the rest
// to '?', and every other page is all '?'. Built at compile time from the
// table above, so the two directions cannot disagree.
constexpr int kPageCount = 7;  // pages 0x00, 0x01, 0x02, 0x20, 0x21, 0xFF and all-'?'
constexpr uint8_t kUnmapped = '?';

struct EncodeTables {
  std::array<uint8_t, 256> pageOf{};
  std::array<std::array<uint8_t, 256>, kPageCount> pages{};
};

constexpr EncodeTables MakeEncodeTables() {
  EncodeTables tables;
  constexpr int kUsedPages[] = {0x00, 0x01, 0x02, 0x20, 0x21, 0xFF};
  for (auto& page : tables.pages) {
    for (auto& byte : page) byte = kUnmapped;
  }
  const int unmappedPage = kPageCount - 1;
  for (auto& page : tables.pageOf) page = static_cast<uint8_t>(unmappedPage);
  for (int index = 0; index < kPageCount - 1; ++index) tables.pageOf[kUsedPages[index]] = static_cast<uint8_t>(index);
  for (int unit = 0; unit < 256; ++unit) tables.pages[0][unit] = static_cast<uint8_t>(unit);
  // Backwards, so a character listed twice (U+FFFD) keeps its first byte.
  for (int index = 31; index >= 0; --index) {
    const int unit = kHighControls[index];
    if (unit < 0x100) continue;
    tables.pages[tables.pageOf[unit >> 8]][unit & 0xFF] = static_cast<uint8_t>(0x80 + index);
  }
  return tables;
}

constexpr EncodeTables kEncode = MakeEncodeTables();

inline uint8_t Encode(wchar_t unit) {
  const auto value = static_cast<uint16_t>(unit);
  return kEncode.pages[kEncode.pageOf[value >> 8]][value & 0xFF];
}

}  // namespace

wchar_t Windows1252ToWide(unsigned char byte) {
  return byte >= 0x80 && byte <= 0x9F ? kHighControls[byte - 0x80] : static_cast<wchar_t>(byte);
}

char WideToWindows1252(wchar_t unit) { return static_cast<char>(Encode(unit)); }

bool IsWindows1252Character(wchar_t unit) { return unit < 0x100 || Encode(unit) != kUnmapped; }

void Windows1252ToWide(const char* text, size_t count, wchar_t* output) {
  for (size_t i = 0; i < count; ++i) output[i] = Windows1252ToWide(static_cast<unsigned char>(text[i]));
}

void WideToWindows1252(const wchar_t* text, size_t count, char* output) {
  size_t i = 0;
#if defined(_M_X64) || defined(__x86_64__)
  // Eight units at a time: the low bytes are the result for every unit
  // below 0x100, and only the others go through the table.
  const __m128i highBytes = _mm_set1_epi16(static_cast<short>(0xFF00));
  for (; i + 8 <= count; i += 8) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(output + i), _mm_packus_epi16(units, units));
    // Two mask bits per unit, set where its high byte is zero.
    const int latin1 = _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, highBytes), _mm_setzero_si128()));
    if (latin1 == 0xFFFF) continue;
    for (size_t lane = 0; lane < 8; ++lane) {
      if ((latin1 & (1 << (2 * lane))) == 0) output[i + lane] = static_cast<char>(Encode(text[i + lane]));
    }
  }
#endif
  for (; i < count; ++i) output[i] = static_cast<char>(Encode(text[i]));
}

}  // namespace zel
