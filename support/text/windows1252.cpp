#include "support/text/windows1252.h"

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

// Index into kHighControls of a unit of 0x100 or above, or -1.
int TableIndex(wchar_t unit) {
  for (int index = 0; index < 32; ++index) {
    if (kHighControls[index] == unit) return index;
  }
  return -1;
}

}  // namespace

wchar_t Windows1252ToWide(unsigned char byte) {
  return byte >= 0x80 && byte <= 0x9F ? kHighControls[byte - 0x80] : static_cast<wchar_t>(byte);
}

char WideToWindows1252(wchar_t unit) {
  if (unit < 0x100) return static_cast<char>(unit);
  const int index = TableIndex(unit);
  return index < 0 ? '?' : static_cast<char>(0x80 + index);
}

bool IsWindows1252Character(wchar_t unit) { return unit < 0x100 || TableIndex(unit) >= 0; }

void Windows1252ToWide(const char* text, size_t count, wchar_t* output) {
  for (size_t i = 0; i < count; ++i) output[i] = Windows1252ToWide(static_cast<unsigned char>(text[i]));
}

void WideToWindows1252(const wchar_t* text, size_t count, char* output) {
  for (size_t i = 0; i < count; ++i) output[i] = WideToWindows1252(text[i]);
}

}  // namespace zel
