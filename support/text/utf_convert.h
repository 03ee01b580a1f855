#pragma once
// UTF-16 <-> UTF-8 in the manner of the Unicode Standard's reference
// conversion routines: the pointers advance past what was converted, and the
// result says why a conversion stopped early.

namespace zel {

enum class ConversionResult {
  kOk,
  // The source ends inside a sequence; the pointers stop before it.
  kSourceExhausted,
  // No room for the next character; the pointers stop before it.
  kTargetExhausted,
  // A malformed sequence; the source pointer stops at it.
  kSourceIllegal,
};

enum class ConversionMode {
  kStrict,
  // Unpaired surrogates are encoded as they are instead of failing.
  kLenient,
};

ConversionResult ConvertUtf16ToUtf8(const wchar_t** source, const wchar_t* sourceEnd, char** target,
                                    char* targetEnd, ConversionMode mode);
// Over-long forms, encoded surrogates, stray continuation bytes and values
// above U+10FFFF are illegal in every mode; a lead byte whose sequence the
// source cuts short (0xF8 to 0xFF announce four or five more bytes) counts as
// exhausted.
ConversionResult ConvertUtf8ToUtf16(const char** source, const char* sourceEnd, wchar_t** target,
                                    wchar_t* targetEnd);

}  // namespace zel
