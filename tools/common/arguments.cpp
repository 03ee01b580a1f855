#include "tools/common/arguments.h"

#include <cerrno>
#include <cstdio>
#include <cwchar>

#include "support/fs/code_page.h"

namespace tools {

namespace {

// All of `text` read by `parse` (a wcstoll or wcstod), within [low, high];
// NaN and values the type cannot hold fail.
template <typename T, typename Parse>
bool ParseInRange(const std::wstring& text, T low, T high, Parse parse, T* value) {
  wchar_t* end = nullptr;
  errno = 0;
  const T parsed = static_cast<T>(parse(text.c_str(), &end));
  if (errno != 0 || *end != L'\0' || !(parsed >= low && parsed <= high)) return false;
  *value = parsed;
  return true;
}

}  // namespace

ArgumentList::ArgumentList(int argc, const wchar_t* const* argv) {
  for (int i = 1; i < argc; ++i) items_.emplace_back(argv[i]);
}

std::wstring ArgumentList::Take() { return More() ? items_[next_++] : std::wstring(); }

bool ArgumentList::TakeText(const std::wstring& option, std::wstring* value) {
  if (!More() || items_[next_].empty()) {
    error_ = option + L" needs a value";
    return false;
  }
  *value = items_[next_++];
  return true;
}

bool ArgumentList::TakeInteger(const std::wstring& option, int64_t low, int64_t high, int64_t* value) {
  std::wstring text;
  const auto parse = [](const wchar_t* begin, wchar_t** end) { return std::wcstoll(begin, end, 10); };
  if (TakeText(option, &text) && ParseInRange<int64_t>(text, low, high, parse, value)) return true;
  error_ = option + L" needs a whole number from " + std::to_wstring(low) + L" to " + std::to_wstring(high);
  return false;
}

bool ArgumentList::TakeNumber(const std::wstring& option, double low, double high, double* value) {
  std::wstring text;
  const auto parse = [](const wchar_t* begin, wchar_t** end) { return std::wcstod(begin, end); };
  if (TakeText(option, &text) && ParseInRange<double>(text, low, high, parse, value)) return true;
  wchar_t range[96];
  std::swprintf(range, 96, L" needs a number from %g to %g", low, high);
  error_ = option + range;
  return false;
}

bool ArgumentList::RejectUnknown(const std::wstring& option) { return Fail(L"unknown option " + option); }

bool ArgumentList::Fail(const std::wstring& message) {
  error_ = message;
  return false;
}

bool ParseCommandLine(int argc, const wchar_t* const* argv, const char* tool, const char* usage,
                      const std::function<bool(ArgumentList& args, const std::wstring& option)>& handle) {
  ArgumentList args(argc, argv);
  while (args.More()) {
    if (handle(args, args.Take())) continue;
    std::fprintf(stderr, "%s: %s\n%s", tool, WideToNarrow(args.Error()).c_str(), usage);
    return false;
  }
  return true;
}

}  // namespace tools
