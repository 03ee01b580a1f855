#pragma once
// The library's text type: UTF-16 text with three narrow forms made on demand
// (the thread's ANSI code page, Windows-1252 through the library's own table,
// UTF-8), each cached until the text changes. Text may be sensitive, so every
// buffer the object owns or uses for a conversion is overwritten with zeros
// before it is freed.
//
// Narrow text without a named encoding follows one rule: the Windows-1252
// table when the system's ANSI code page is 1252, the thread's ANSI code page
// otherwise. Narrow lengths below 0 mean "up to the terminating zero".
//
// The text is either null (empty or unset) or holds at least one character.
// Objects share nothing, so they may live on any thread, but one object is
// not safe for concurrent use.

#include <cstdarg>
#include <cstdint>

#include <windows.h>

#include "support/text/wiped_buffer.h"

// Whether the system's ANSI code page is 1252, fixed while the module loads;
// the comparison operators choose the narrow rule by it
// (support/library_objects.inc).
extern bool Windows1252Flag;

class ZELString {
 public:
  // Capacity in characters of the scratch buffer of Format, terminator
  // included: longer results are cut.
  static constexpr int32_t kFormatBufferSize = 1024;

  ZELString() = default;
  ZELString(const wchar_t* text);  // NOLINT: converts implicitly, like the text it holds
  ZELString(const char* text, bool useWindows1252Table);
  ZELString(const ZELString& other);
  ZELString(const char* text, int length, UINT codePage);
  // Decodes with the code page of a charset name of CharsetTable; an unknown
  // name leaves the string empty.
  ZELString(const char* text, int length, const ZELString& charsetName);
  virtual ~ZELString() = default;

  ZELString& operator=(const ZELString& other);
  ZELString& operator=(const wchar_t* text);
  // By the narrow rule.
  ZELString& operator=(const char* text);

  // --- Reading ---------------------------------------------------------
  const wchar_t* GetWide() const { return text_.Get(); }
  int Length() const { return static_cast<int>(length_); }
  bool HasText() const { return text_.Get() != nullptr; }
  // Null when the text is null; a conversion that fails gives "" instead.
  const char* GetNarrow() const;
  const char* GetWindows1252() const;
  // Null also when the text cannot be encoded.
  const char* GetUtf8() const;
  int GetNarrowLength() const;
  int GetWindows1252Length() const;
  int GetUtf8Length() const;
  // True when some character would become '?' through the Windows-1252 table.
  bool HasNonWindows1252Characters() const;
  // The unit at `index`, or a zero unit when the index is out of range.
  const wchar_t* At(int index) const;

  // --- Changing --------------------------------------------------------
  // Exactly `count` units of `text`.
  void Assign(const wchar_t* text, int count);
  // These answer the resulting length; a conversion that fails leaves the
  // string empty and answers 0.
  int Assign(const char* text, int count, bool useWindows1252Table);
  int Assign(const char* text, int count, UINT codePage);
  int Assign(const char* text, int count, int codePage) { return Assign(text, count, static_cast<UINT>(codePage)); }
  // Both answer the new text.
  const wchar_t* SetNarrow(const char* text, int length = -1);
  const wchar_t* SetNarrow(const char* text, int length, bool useWindows1252Table);
  // Lenient UTF-8: an incomplete sequence at the end is dropped; an illegal
  // one leaves the text null (the answer).
  const wchar_t* SetUtf8(const char* bytes, int length = -1);
  void Append(const ZELString& other);
  void Append(const wchar_t* text);
  void Append(const char* text);
  void Append(const char* text, bool useWindows1252Table);
  static constexpr int kStripLeading = 1;
  static constexpr int kStripTrailing = 2;
  // Removes white space at the ends the flags name; false when the text is
  // null.
  bool Strip(int flags);
  // printf rules of the C standard, the same under MinGW and MSVC only when
  // text arguments name their width: %ls for wide and %hs for narrow text.
  // The text becomes the result, cut to kFormatBufferSize - 1
  // characters. The wide forms answer the formatter's count and the narrow
  // forms the new length; both answer a negative value when the result was
  // cut or the format was unusable.
  int Format(const wchar_t* format, ...);
  int Format(const char* format, ...);
  int FormatV(const wchar_t* format, va_list args);
  int FormatV(const char* format, va_list args);
  // Appends the formatted text; answers the new length.
  int AppendFormat(const wchar_t* format, ...);
  int AppendFormat(const char* format, ...);

  // --- Comparing: ordinal over unsigned UTF-16 units; null sorts first ---
  int Compare(const wchar_t* text) const;
  int Compare(const char* text, bool useWindows1252Table) const;
  int Compare(const ZELString& other) const;
  bool operator==(const ZELString& other) const { return Compare(other) == 0; }
  bool operator!=(const ZELString& other) const { return Compare(other) != 0; }
  bool operator==(const wchar_t* text) const { return Compare(text) == 0; }
  bool operator!=(const wchar_t* text) const { return Compare(text) != 0; }
  bool operator==(const char* text) const { return Compare(text, Windows1252Flag) == 0; }
  bool operator!=(const char* text) const { return Compare(text, Windows1252Flag) != 0; }
  bool operator<(const ZELString& other) const { return Compare(other) < 0; }
  bool operator>(const ZELString& other) const { return Compare(other) > 0; }

 private:
  // Any change of the text starts here: the cached forms describe the old one.
  void ClearCaches();
  // Replaces the text with `count` units of `text` (null when count is 0).
  void SetText(const wchar_t* text, size_t count);
  // Takes `buffer` as the text (up to its first zero unit), or null when it
  // holds no character.
  void AdoptText(WipedBuffer<wchar_t> buffer);
  const char* NarrowForm(WipedBuffer<char>& cache, bool useWindows1252Table) const;

  WipedBuffer<wchar_t> text_;
  size_t length_ = 0;  // units before the terminator
  mutable WipedBuffer<char> narrow_;
  mutable WipedBuffer<char> windows1252_;
  mutable WipedBuffer<char> utf8_;
  wchar_t zero_ = 0;
};
