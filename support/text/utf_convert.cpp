#include "support/text/utf_convert.h"

#include <cstddef>
#include <cstdint>

namespace zel {
namespace {

constexpr uint32_t kHighSurrogateFirst = 0xD800;
constexpr uint32_t kHighSurrogateLast = 0xDBFF;
constexpr uint32_t kLowSurrogateFirst = 0xDC00;
constexpr uint32_t kLowSurrogateLast = 0xDFFF;
constexpr uint32_t kMaxBmp = 0xFFFF;

// Continuation bytes announced by a lead byte; 0xF8 to 0xFF announce the
// five- and six-byte forms, which are never legal but still count when the
// source ends early.
int TrailingBytes(uint8_t lead) {
  if (lead < 0xC0) return 0;
  if (lead < 0xE0) return 1;
  if (lead < 0xF0) return 2;
  if (lead < 0xF8) return 3;
  if (lead < 0xFC) return 4;
  return 5;
}

// Subtracted after summing the shifted bytes, removing the lead and
// continuation marker bits.
constexpr uint32_t kUtf8Offsets[4] = {0x00000000, 0x00003080, 0x000E2080, 0x03C82080};
constexpr uint8_t kFirstByteMarks[5] = {0x00, 0x00, 0xC0, 0xE0, 0xF0};

// Well-formed sequence of `length` bytes: no over-long forms, no encoded
// surrogates, nothing above U+10FFFF.
bool IsLegalUtf8(const uint8_t* sequence, int length) {
  if (length < 1 || length > 4) return false;
  const uint8_t lead = sequence[0];
  for (int i = length - 1; i >= 2; --i) {
    if (sequence[i] < 0x80 || sequence[i] > 0xBF) return false;
  }
  if (length >= 2) {
    const uint8_t second = sequence[1];
    if (second > 0xBF) return false;
    switch (lead) {
      case 0xE0: if (second < 0xA0) return false; break;
      case 0xED: if (second > 0x9F) return false; break;
      case 0xF0: if (second < 0x90) return false; break;
      case 0xF4: if (second > 0x8F) return false; break;
      default: if (second < 0x80) return false;
    }
  }
  if (lead >= 0x80 && lead < 0xC2) return false;
  return lead <= 0xF4;
}

}  // namespace

ConversionResult ConvertUtf16ToUtf8(const wchar_t** source, const wchar_t* sourceEnd, char** target,
                                    char* targetEnd, ConversionMode mode) {
  ConversionResult result = ConversionResult::kOk;
  const wchar_t* in = *source;
  char* out = *target;
  while (in < sourceEnd) {
    // Runs of ASCII, the bulk of most text, skip the general path.
    while (in < sourceEnd && out < targetEnd && static_cast<uint16_t>(*in) < 0x80) *out++ = static_cast<char>(*in++);
    if (in == sourceEnd) break;
    const wchar_t* start = in;
    uint32_t ch = static_cast<uint16_t>(*in++);
    if (ch >= kHighSurrogateFirst && ch <= kHighSurrogateLast) {
      if (in >= sourceEnd) {
        in = start;
        result = ConversionResult::kSourceExhausted;
        break;
      }
      const uint32_t low = static_cast<uint16_t>(*in);
      if (low >= kLowSurrogateFirst && low <= kLowSurrogateLast) {
        ch = ((ch - kHighSurrogateFirst) << 10) + (low - kLowSurrogateFirst) + 0x10000;
        ++in;
      } else if (mode == ConversionMode::kStrict) {
        in = start;
        result = ConversionResult::kSourceIllegal;
        break;
      }
    } else if (mode == ConversionMode::kStrict && ch >= kLowSurrogateFirst && ch <= kLowSurrogateLast) {
      in = start;
      result = ConversionResult::kSourceIllegal;
      break;
    }
    int bytes = 0;
    if (ch < 0x80) {
      bytes = 1;
    } else if (ch < 0x800) {
      bytes = 2;
    } else if (ch < 0x10000) {
      bytes = 3;
    } else {
      bytes = 4;
    }
    if (targetEnd - out < bytes) {
      in = start;
      result = ConversionResult::kTargetExhausted;
      break;
    }
    out += bytes;
    char* write = out;
    switch (bytes) {  // fall through: last byte first
      case 4: *--write = static_cast<char>((ch | 0x80) & 0xBF); ch >>= 6; [[fallthrough]];
      case 3: *--write = static_cast<char>((ch | 0x80) & 0xBF); ch >>= 6; [[fallthrough]];
      case 2: *--write = static_cast<char>((ch | 0x80) & 0xBF); ch >>= 6; [[fallthrough]];
      case 1: *--write = static_cast<char>(ch | kFirstByteMarks[bytes]);
    }
  }
  *source = in;
  *target = out;
  return result;
}

ConversionResult ConvertUtf8ToUtf16(const char** source, const char* sourceEnd, wchar_t** target,
                                    wchar_t* targetEnd) {
  ConversionResult result = ConversionResult::kOk;
  const uint8_t* in = reinterpret_cast<const uint8_t*>(*source);
  const uint8_t* end = reinterpret_cast<const uint8_t*>(sourceEnd);
  wchar_t* out = *target;
  while (in < end) {
    const int extra = TrailingBytes(*in);
    if (extra >= end - in) {
      result = ConversionResult::kSourceExhausted;
      break;
    }
    if (!IsLegalUtf8(in, extra + 1)) {
      result = ConversionResult::kSourceIllegal;
      break;
    }
    const uint8_t* start = in;
    uint32_t ch = 0;
    for (int i = 0; i <= extra; ++i) {
      ch = (ch << 6) + *in++;
    }
    ch -= kUtf8Offsets[extra];
    // A legal sequence holds neither a surrogate nor anything above
    // U+10FFFF, so only the target can stop it here.
    const std::ptrdiff_t units = ch > kMaxBmp ? 2 : 1;
    if (targetEnd - out < units) {
      in = start;
      result = ConversionResult::kTargetExhausted;
      break;
    }
    if (units == 1) {
      *out++ = static_cast<wchar_t>(ch);
    } else {
      ch -= 0x10000;
      *out++ = static_cast<wchar_t>((ch >> 10) + kHighSurrogateFirst);
      *out++ = static_cast<wchar_t>((ch & 0x3FF) + kLowSurrogateFirst);
    }
  }
  *source = reinterpret_cast<const char*>(in);
  *target = out;
  return result;
}

}  // namespace zel
