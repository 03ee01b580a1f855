#pragma once
// Text functions of the support library: stripping, joining and splitting, a
// small pattern match, version numbers, integers in delimited text, decimal
// rendering, and a display name for a database connection's endpoint.
//
// Printable below means the run-time library's wide printable class (letters,
// digits, punctuation, the blank); everything else, controls included, counts
// as unprintable.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fts {

// The non-empty pieces between separators, in order.
std::vector<std::string> Split(const std::string& text, char separator);
std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator);

// Without the leading (trailing) run of characters that are unprintable or
// in `set`. A null or empty set leaves the text as it is.
std::wstring StripLeadingChars(const std::wstring& text, const wchar_t* set);
std::wstring StripTrailingChars(const std::wstring& text, const wchar_t* set);
std::wstring StripChars(const std::wstring& text, const wchar_t* set);

// The items stripped of controls and blanks, the non-empty ones joined by
// `separator`, never ending with it. A zero separator gives "".
std::wstring JoinStripped(const std::vector<std::wstring>& items, wchar_t separator);

// head: the first non-empty piece that a '|' follows; tail: what follows the
// last '|' (the whole text without one).
void SplitAtBar(const std::wstring& text, std::wstring& tail, std::wstring& head);

// Ignoring letter case: "*" or "" match everything; "x*" a prefix, "*x" a
// suffix, "*x*" a part; without outer stars the whole text. Inner stars are
// ordinary characters. An empty text or a null pattern never matches.
bool MatchPattern(const wchar_t* text, const wchar_t* pattern);

struct VersionNumber {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
  uint32_t revision = 0;
};

// "a.b.c.d", each part its absolute value and 0 above 9999; all zeros unless
// the text begins with a digit.
void ParseVersion(const char* text, VersionNumber* version);
// 1, -1 or 0, part by part from major to revision.
int CompareVersion(const VersionNumber& first, const VersionNumber& second);

// Clears all `capacity` values, then stores the digits of each field between
// separators (signs and other characters skipped, the number ending at the
// first non-digit; a field without a digit stores nothing) until capacity
// values are stored; answers how many. A zero separator means ';', a digit
// separator stores nothing. Numbers beyond the signed 64-bit range saturate.
size_t SplitNumbers(const char* text, int64_t* values, size_t capacity, char separator);

// "server[-database]-provider" or "dsn-provider" from the first "Provider=",
// "Server=", "Database=" and "DSN=" (exact case), or "Unknown EndPoint".
std::wstring DescribeEndpoint(const std::wstring& connection);

// Decimal text; ToText<wchar_t>(...) gives the wide forms. A double gets five
// significant digits in the run-time library's general (gcvt) form.
template <typename Char = char>
std::basic_string<Char> ToText(uint64_t value);
template <typename Char = char>
std::basic_string<Char> ToText(int value);
template <>
std::string ToText<char>(uint64_t value);
template <>
std::wstring ToText<wchar_t>(uint64_t value);
template <>
std::string ToText<char>(int value);
template <>
std::wstring ToText<wchar_t>(int value);
std::string ToText(unsigned long value);
std::string ToText(double value);

}  // namespace fts
