#include "support/text/zel_string.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <utility>

#include "support/text/charset_table.h"
#include "support/text/utf_convert.h"
#include "support/text/windows1252.h"

namespace {

size_t MeasuredLength(const char* text, int length) {
  if (text == nullptr) return 0;
  return length < 0 ? strlen(text) : static_cast<size_t>(length);
}

size_t MeasuredLength(const wchar_t* text, int length) {
  if (text == nullptr) return 0;
  return length < 0 ? wcslen(text) : static_cast<size_t>(length);
}

// Narrow text without a named encoding; asked each time, the answer does not
// change while the process runs.
bool NarrowRuleUsesTable() { return GetACP() == 1252; }

// The decoded text, terminated, or an empty buffer when there is nothing to
// decode or the code page cannot decode it.
WipedBuffer<wchar_t> DecodeWithCodePage(const char* text, size_t count, UINT codePage) {
  if (count == 0 || count > INT_MAX) return {};
  const int length = static_cast<int>(count);
  const int needed = MultiByteToWideChar(codePage, 0, text, length, nullptr, 0);
  if (needed <= 0) return {};
  WipedBuffer<wchar_t> decoded(static_cast<size_t>(needed) + 1);
  if (MultiByteToWideChar(codePage, 0, text, length, decoded.Get(), needed) <= 0) return {};
  return decoded;
}

WipedBuffer<wchar_t> DecodeNarrow(const char* text, size_t count, bool useWindows1252Table) {
  if (!useWindows1252Table) return DecodeWithCodePage(text, count, CP_THREAD_ACP);
  if (count == 0) return {};
  WipedBuffer<wchar_t> decoded(count + 1);
  zel::Windows1252ToWide(text, count, decoded.Get());
  return decoded;
}

// printf into a buffer of `units` elements, always terminated. Answers the
// count written, or -1 when the result was cut or the format failed. The
// platform formatter's rules hold with both compilers (a wide "%s" takes wide
// text, "%I64d" is known); MinGW's C99 vswprintf would read "%s" as narrow.
int FormatBounded(wchar_t* buffer, size_t units, const wchar_t* format, va_list args) {
#ifdef _MSC_VER
  const int written = _vsnwprintf_s(buffer, units, _TRUNCATE, format, args);
#else
  const int written = _vsnwprintf(buffer, units - 1, format, args);
#endif
  buffer[units - 1] = L'\0';
  return written < 0 || static_cast<size_t>(written) >= units ? -1 : written;
}

int FormatBounded(char* buffer, size_t units, const char* format, va_list args) {
#ifdef _MSC_VER
  const int written = _vsnprintf_s(buffer, units, _TRUNCATE, format, args);
#else
  const int written = _vsnprintf(buffer, units - 1, format, args);
#endif
  buffer[units - 1] = '\0';
  return written < 0 || static_cast<size_t>(written) >= units ? -1 : written;
}

template <typename Char>
int AppendFormatted(ZELString& target, const Char* format, va_list args) {
  ZELString piece;
  piece.FormatV(format, args);
  target.Append(piece);
  return target.Length();
}

int CompareUnits(const wchar_t* left, const wchar_t* right) {
  if (left == nullptr || right == nullptr) {
    if (left == right) return 0;
    return left == nullptr ? -1 : 1;
  }
  for (;; ++left, ++right) {
    const auto a = static_cast<uint16_t>(*left);
    const auto b = static_cast<uint16_t>(*right);
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
}

}  // namespace

ZELString::ZELString(const wchar_t* text) { SetText(text, MeasuredLength(text, -1)); }

ZELString::ZELString(const char* text, bool useWindows1252Table) { Assign(text, -1, useWindows1252Table); }

ZELString::ZELString(const ZELString& other) { SetText(other.GetWide(), static_cast<size_t>(other.Length())); }

ZELString::ZELString(const char* text, int length, UINT codePage) { Assign(text, length, codePage); }

ZELString::ZELString(const char* text, int length, const ZELString& charsetName) {
  int32_t codePage = 0;
  if (FindCharsetCodePage(charsetName.GetWide(), &codePage)) Assign(text, length, static_cast<UINT>(codePage));
}

ZELString& ZELString::operator=(const ZELString& other) {
  if (this != &other) SetText(other.GetWide(), static_cast<size_t>(other.Length()));
  return *this;
}

ZELString& ZELString::operator=(const wchar_t* text) {
  SetText(text, MeasuredLength(text, -1));
  return *this;
}

ZELString& ZELString::operator=(const char* text) {
  SetNarrow(text, -1);
  return *this;
}

void ZELString::ClearCaches() {
  narrow_.Reset();
  windows1252_.Reset();
  utf8_.Reset();
}

void ZELString::AdoptText(WipedBuffer<wchar_t> buffer) {
  ClearCaches();
  length_ = buffer.Get() ? wcsnlen(buffer.Get(), buffer.Units()) : 0;
  if (length_ == 0) {
    text_.Reset();
  } else {
    text_ = std::move(buffer);
  }
}

void ZELString::SetText(const wchar_t* text, size_t count) {
  if (text == nullptr || count == 0) {
    AdoptText({});
    return;
  }
  // Copied before the old text goes, so a string may be set from itself.
  WipedBuffer<wchar_t> copy(count + 1);
  wmemcpy(copy.Get(), text, count);
  AdoptText(std::move(copy));
}

const char* ZELString::NarrowForm(WipedBuffer<char>& cache, bool useWindows1252Table) const {
  const wchar_t* text = text_.Get();
  if (text == nullptr) return nullptr;
  if (cache.Get() != nullptr) return cache.Get();
  try {
    const size_t length = length_;
    if (useWindows1252Table) {
      WipedBuffer<char> encoded(length + 1);
      zel::WideToWindows1252(text, length, encoded.Get());
      cache = std::move(encoded);
      return cache.Get();
    }
    const int units = static_cast<int>(length);
    const int needed = WideCharToMultiByte(CP_THREAD_ACP, 0, text, units, nullptr, 0, nullptr, nullptr);
    WipedBuffer<char> encoded(needed > 0 ? static_cast<size_t>(needed) + 1 : 1);
    if (needed <= 0 ||
        WideCharToMultiByte(CP_THREAD_ACP, 0, text, units, encoded.Get(), needed, nullptr, nullptr) <= 0) {
      encoded = WipedBuffer<char>(1);  // a failed conversion reads as empty text
    }
    cache = std::move(encoded);
    return cache.Get();
  } catch (...) {
    return nullptr;
  }
}

const char* ZELString::GetNarrow() const { return NarrowForm(narrow_, false); }

const char* ZELString::GetWindows1252() const { return NarrowForm(windows1252_, true); }

const char* ZELString::GetUtf8() const {
  const wchar_t* text = text_.Get();
  if (text == nullptr) return nullptr;
  if (utf8_.Get() != nullptr) return utf8_.Get();
  try {
    const size_t length = length_;
    WipedBuffer<char> encoded(4 * length + 1);
    const wchar_t* source = text;
    char* target = encoded.Get();
    const zel::ConversionResult result = zel::ConvertUtf16ToUtf8(&source, text + length, &target,
                                                                 encoded.Get() + 4 * length,
                                                                 zel::ConversionMode::kLenient);
    if (result == zel::ConversionResult::kTargetExhausted || result == zel::ConversionResult::kSourceIllegal) {
      return nullptr;
    }
    utf8_ = std::move(encoded);
    return utf8_.Get();
  } catch (...) {
    return nullptr;
  }
}

namespace {
int NarrowLength(const char* text) { return text ? static_cast<int>(strlen(text)) : 0; }
}  // namespace

int ZELString::GetNarrowLength() const { return NarrowLength(GetNarrow()); }

int ZELString::GetWindows1252Length() const { return NarrowLength(GetWindows1252()); }

int ZELString::GetUtf8Length() const { return NarrowLength(GetUtf8()); }

bool ZELString::HasNonWindows1252Characters() const {
  for (size_t i = 0; i < length_; ++i) {
    if (!zel::IsWindows1252Character(text_.Get()[i])) return true;
  }
  return false;
}

const wchar_t* ZELString::At(int index) const {
  if (index < 0 || index >= Length()) return &zero_;
  return text_.Get() + index;
}

void ZELString::Assign(const wchar_t* text, int count) { SetText(text, MeasuredLength(text, count)); }

int ZELString::Assign(const char* text, int count, bool useWindows1252Table) {
  AdoptText(DecodeNarrow(text, MeasuredLength(text, count), useWindows1252Table));
  return Length();
}

int ZELString::Assign(const char* text, int count, UINT codePage) {
  AdoptText(DecodeWithCodePage(text, MeasuredLength(text, count), codePage));
  return Length();
}

const wchar_t* ZELString::SetNarrow(const char* text, int length) {
  return SetNarrow(text, length, NarrowRuleUsesTable());
}

const wchar_t* ZELString::SetNarrow(const char* text, int length, bool useWindows1252Table) {
  Assign(text, length, useWindows1252Table);
  return GetWide();
}

const wchar_t* ZELString::SetUtf8(const char* bytes, int length) {
  AdoptText({});
  const size_t count = MeasuredLength(bytes, length);
  if (count == 0) return nullptr;
  // Never more UTF-16 units than UTF-8 bytes; the extra one terminates.
  WipedBuffer<wchar_t> decoded(count + 1);
  const char* source = bytes;
  wchar_t* target = decoded.Get();
  const zel::ConversionResult result = zel::ConvertUtf8ToUtf16(&source, bytes + count, &target, decoded.Get() + count);
  if (result == zel::ConversionResult::kTargetExhausted || result == zel::ConversionResult::kSourceIllegal) {
    return nullptr;
  }
  AdoptText(std::move(decoded));
  return GetWide();
}

void ZELString::Append(const ZELString& other) { Append(other.GetWide()); }

void ZELString::Append(const wchar_t* text) {
  if (text == nullptr || *text == L'\0') return;
  const size_t added = wcslen(text);
  const size_t old = static_cast<size_t>(Length());
  WipedBuffer<wchar_t> joined(old + added + 1);
  if (old > 0) wmemcpy(joined.Get(), text_.Get(), old);
  wmemcpy(joined.Get() + old, text, added);
  AdoptText(std::move(joined));
}

void ZELString::Append(const char* text) { Append(text, NarrowRuleUsesTable()); }

void ZELString::Append(const char* text, bool useWindows1252Table) {
  Append(ZELString(text, useWindows1252Table));
}

bool ZELString::Strip(int flags) {
  wchar_t* text = text_.Get();
  if (text == nullptr) return false;
  ClearCaches();
  const size_t length = length_;
  size_t begin = 0;
  size_t end = length;
  if (flags & kStripTrailing) {
    while (end > begin && iswspace(text[end - 1])) --end;
  }
  if (flags & kStripLeading) {
    while (begin < end && iswspace(text[begin])) ++begin;
  }
  if (begin == end) {
    text_.Reset();
    length_ = 0;
    return true;
  }
  length_ = end - begin;
  wmemmove(text, text + begin, length_);
  wmemset(text + length_, L'\0', length - length_);
  return true;
}

int ZELString::FormatV(const wchar_t* format, va_list args) {
  AdoptText({});
  if (format == nullptr) return -1;
  WipedBuffer<wchar_t> scratch(kFormatBufferSize);
  const int result = FormatBounded(scratch.Get(), kFormatBufferSize, format, args);
  SetText(scratch.Get(), wcslen(scratch.Get()));
  return result;
}

int ZELString::FormatV(const char* format, va_list args) {
  AdoptText({});
  if (format == nullptr) return -1;
  WipedBuffer<char> scratch(kFormatBufferSize);
  const int result = FormatBounded(scratch.Get(), kFormatBufferSize, format, args);
  AdoptText(DecodeWithCodePage(scratch.Get(), strlen(scratch.Get()), CP_THREAD_ACP));
  return result < 0 ? result : Length();
}

int ZELString::Format(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = FormatV(format, args);
  va_end(args);
  return result;
}

int ZELString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = FormatV(format, args);
  va_end(args);
  return result;
}

int ZELString::AppendFormat(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = AppendFormatted(*this, format, args);
  va_end(args);
  return length;
}

int ZELString::AppendFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = AppendFormatted(*this, format, args);
  va_end(args);
  return length;
}

int ZELString::Compare(const wchar_t* text) const { return CompareUnits(text_.Get(), text); }

int ZELString::Compare(const char* text, bool useWindows1252Table) const {
  if (text == nullptr) return Compare(static_cast<const wchar_t*>(nullptr));
  // An empty or undecodable argument is still text, which sorts after null.
  const ZELString converted(text, useWindows1252Table);
  return Compare(converted.HasText() ? converted.GetWide() : L"");
}

int ZELString::Compare(const ZELString& other) const { return CompareUnits(text_.Get(), other.GetWide()); }
