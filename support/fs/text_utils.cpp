#include "support/fs/text_utils.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace fts {
namespace {

template <typename Char>
std::vector<std::basic_string<Char>> SplitAs(const std::basic_string<Char>& text, Char separator) {
  std::vector<std::basic_string<Char>> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::basic_string<Char>::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

// The Microsoft run-time library counts the tab as printable (it is a blank
// there); controls are never printable here.
bool IsPrintable(wchar_t unit) { return iswprint(unit) && !iswcntrl(unit); }

bool IsStrippable(wchar_t unit, const wchar_t* set) { return !IsPrintable(unit) || wcschr(set, unit) != nullptr; }

bool HasSet(const wchar_t* set) { return set != nullptr && *set != L'\0'; }

std::wstring Lowered(std::wstring text) {
  for (wchar_t& unit : text) unit = static_cast<wchar_t>(towlower(unit));
  return text;
}

// The value after the first occurrence of `key`, up to the next ';'; false
// when the key does not occur.
bool FindValue(const std::wstring& connection, const wchar_t* key, std::wstring* value) {
  const size_t keyAt = connection.find(key);
  if (keyAt == std::wstring::npos) return false;
  const size_t start = keyAt + wcslen(key);
  const size_t end = connection.find(L';', start);
  *value = connection.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
  return true;
}

// The version part at `text`: absolute value, 0 beyond 9999.
uint32_t VersionPart(const char* text) {
  const long long value = strtoll(text, nullptr, 10);
  return value > 9999 || value < -9999 ? 0 : static_cast<uint32_t>(value < 0 ? -value : value);
}

int CompareParts(uint32_t first, uint32_t second) { return first == second ? 0 : (first > second ? 1 : -1); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::vector<std::string> Split(const std::string& text, char separator) { return SplitAs(text, separator); }

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) { return SplitAs(text, separator); }

std::wstring StripLeadingChars(const std::wstring& text, const wchar_t* set) {
  if (!HasSet(set)) return text;
  size_t begin = 0;
  while (begin < text.size() && IsStrippable(text[begin], set)) ++begin;
  return text.substr(begin);
}

std::wstring StripTrailingChars(const std::wstring& text, const wchar_t* set) {
  if (!HasSet(set)) return text;
  size_t end = text.size();
  while (end > 0 && IsStrippable(text[end - 1], set)) --end;
  return text.substr(0, end);
}

std::wstring StripChars(const std::wstring& text, const wchar_t* set) {
  return StripLeadingChars(StripTrailingChars(text, set), set);
}

std::wstring JoinStripped(const std::vector<std::wstring>& items, wchar_t separator) {
  std::wstring joined;
  if (separator == L'\0') return joined;
  for (size_t index = 0; index < items.size(); ++index) {
    const std::wstring item = StripChars(items[index], L"\n\r\t\a\f\b ");
    if (item.empty()) continue;
    joined += item;
    if (index + 1 < items.size()) joined += separator;
  }
  if (!joined.empty() && joined.back() == separator) joined.pop_back();
  return joined;
}

void SplitAtBar(const std::wstring& text, std::wstring& tail, std::wstring& head) {
  tail.clear();
  head.clear();
  size_t position = 0;
  for (size_t bar; (bar = text.find(L'|', position)) != std::wstring::npos; position = bar + 1) {
    if (bar > position && head.empty()) head = text.substr(position, bar - position);
  }
  if (position < text.size()) tail = text.substr(position);
}

bool MatchPattern(const wchar_t* text, const wchar_t* pattern) {
  if (text == nullptr || *text == L'\0' || pattern == nullptr) return false;
  const std::wstring whole(pattern);
  if (whole.empty() || whole == L"*") return true;
  const bool leading = whole.front() == L'*';
  const bool trailing = whole.back() == L'*';
  const size_t stars = (leading ? 1 : 0) + (trailing ? 1 : 0);
  const std::wstring core = Lowered(whole.substr(leading ? 1 : 0, whole.size() - stars));
  const std::wstring subject = Lowered(text);
  if (leading && trailing) return subject.find(core) != std::wstring::npos;
  if (trailing) return subject.compare(0, core.size(), core) == 0;
  if (leading) return subject.size() >= core.size() && subject.compare(subject.size() - core.size(), core.size(), core) == 0;
  return subject == core;
}

void ParseVersion(const char* text, VersionNumber* version) {
  if (version == nullptr) return;
  *version = VersionNumber();
  if (text == nullptr || !IsDigit(text[0])) return;
  uint32_t* const parts[] = {&version->major, &version->minor, &version->build, &version->revision};
  *parts[0] = VersionPart(text);
  const char* dot = text;
  for (size_t part = 1; part < 4; ++part) {
    dot = strchr(dot, '.');
    if (dot == nullptr) return;
    ++dot;
    *parts[part] = VersionPart(dot);
  }
}

int CompareVersion(const VersionNumber& first, const VersionNumber& second) {
  if (int order = CompareParts(first.major, second.major)) return order;
  if (int order = CompareParts(first.minor, second.minor)) return order;
  if (int order = CompareParts(first.build, second.build)) return order;
  return CompareParts(first.revision, second.revision);
}

size_t SplitNumbers(const char* text, int64_t* values, size_t capacity, char separator) {
  if (values == nullptr || capacity == 0) return 0;
  for (size_t i = 0; i < capacity; ++i) values[i] = 0;
  if (text == nullptr || *text == '\0' || IsDigit(separator)) return 0;
  if (separator == '\0') separator = ';';
  size_t stored = 0;
  for (const char* field = text; *field != '\0' && stored < capacity;) {
    const char* end = strchr(field, separator);
    if (end == nullptr) end = field + strlen(field);
    const char* digit = field;
    while (digit < end && !IsDigit(*digit)) ++digit;
    if (digit < end) {
      int64_t value = 0;
      for (; digit < end && IsDigit(*digit); ++digit) {
        const int next = *digit - '0';
        value = value > (INT64_MAX - next) / 10 ? INT64_MAX : value * 10 + next;
      }
      values[stored++] = value;
    }
    field = *end == '\0' ? end : end + 1;
  }
  return stored;
}

std::wstring DescribeEndpoint(const std::wstring& connection) {
  const std::wstring unknown = L"Unknown EndPoint";
  std::wstring provider;
  if (!FindValue(connection, L"Provider=", &provider)) return unknown;
  std::wstring name;
  if (FindValue(connection, L"Server=", &name)) {
    std::wstring database;
    if (FindValue(connection, L"Database=", &database)) name += L"-" + database;
  } else if (!FindValue(connection, L"DSN=", &name)) {
    return unknown;
  }
  return name + L"-" + provider;
}

template <>
std::string ToText<char>(uint64_t value) {
  return std::to_string(value);
}

template <>
std::wstring ToText<wchar_t>(uint64_t value) {
  return std::to_wstring(value);
}

template <>
std::string ToText<char>(int value) {
  return std::to_string(value);
}

template <>
std::wstring ToText<wchar_t>(int value) {
  return std::to_wstring(value);
}

std::string ToText(unsigned long value) { return std::to_string(value); }

std::string ToText(double value) {
  // Room for a sign, five digits, the point and a three-digit exponent.
  char text[32] = {};
  if (_gcvt_s(text, sizeof(text), value, 5) != 0) return std::string();
  return text;
}

}  // namespace fts
