#include "tools/routersim/session_names.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include <windows.h>

#include "support/fs/code_page.h"

namespace routersim {

namespace {

constexpr size_t kHexDigits = 4;

// ASCII hex digits only, whatever the locale calls a digit.
int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool ParseUnit(const std::wstring& text, size_t at, wchar_t* unit) {
  if (text.size() - at < kHexDigits) return false;
  unsigned value = 0;
  for (size_t i = at; i < at + kHexDigits; ++i) {
    const int digit = HexValue(text[i]);
    if (digit < 0) return false;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  *unit = static_cast<wchar_t>(value);
  return true;
}

}  // namespace

bool DecodeSessionName(const std::wstring& text, std::wstring* name, std::wstring* error) {
  name->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'\\') {
      *name += text[i];
      continue;
    }
    const wchar_t kind = i + 1 < text.size() ? text[i + 1] : L'\0';
    wchar_t unit = 0;
    if (kind == L'\\' || kind == L'n') {
      *name += kind == L'n' ? L'\n' : L'\\';
      ++i;
    } else if (kind == L'u' && ParseUnit(text, i + 2, &unit)) {
      *name += unit;
      i += 1 + kHexDigits;
    } else {
      *error = L"a backslash must start \\\\, \\n or \\uXXXX";
      return false;
    }
  }
  return true;
}

std::string EncodeSessionName(const std::wstring& name) {
  std::string out;
  for (wchar_t unit : name) {
    if (unit == L'\\') {
      out += "\\\\";
    } else if (unit > L' ' && unit < 0x7F) {
      out += static_cast<char>(unit);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04X", static_cast<unsigned>(unit));
      out += escape;
    }
  }
  return out;
}

bool ReadSessionNames(const std::wstring& path, size_t maxNames, size_t maxUnits, std::vector<std::wstring>* names,
                      std::wstring* error) {
  std::ifstream file(path.c_str(), std::ios::binary);
  if (!file) {
    *error = L"cannot read " + path;
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  names->clear();
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const std::wstring where = path + L" line " + std::to_wstring(names->size() + 1) + L": ";
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::wstring name;
    if (!DecodeSessionName(NarrowToWide(line, CP_UTF8), &name, error)) {
      *error = where + *error;
      return false;
    }
    if (name.size() > maxUnits) {
      *error = where + L"a name has at most " + std::to_wstring(maxUnits) + L" UTF-16 units";
      return false;
    }
    if (names->size() == maxNames) {
      *error = path + L" has more than " + std::to_wstring(maxNames) + L" lines";
      return false;
    }
    names->push_back(std::move(name));
  }
  return true;
}

}  // namespace routersim
