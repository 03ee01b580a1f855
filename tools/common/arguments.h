#pragma once
// Command-line options of the console tools: "--name value" pairs and
// "--flag" switches, read front to back. A value that does not fit leaves an
// error text naming the option and what it accepts.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tools {

class ArgumentList {
 public:
  ArgumentList(int argc, const wchar_t* const* argv);

  bool More() const { return next_ < items_.size(); }
  // The next item, normally an option name.
  std::wstring Take();
  // The value of `option`, which was just taken. False, with Error() set,
  // when it is missing or out of range.
  bool TakeText(const std::wstring& option, std::wstring* value);
  bool TakeInteger(const std::wstring& option, int64_t low, int64_t high, int64_t* value);
  bool TakeNumber(const std::wstring& option, double low, double high, double* value);
  // Records that `option` is not known; false, for a handler to return.
  bool RejectUnknown(const std::wstring& option);
  // Records a failure in the caller's own words; false, for a handler to return.
  bool Fail(const std::wstring& message);

  const std::wstring& Error() const { return error_; }

 private:
  std::vector<std::wstring> items_;
  size_t next_ = 0;
  std::wstring error_;
};

// Hands every option on the command line, front to back, to `handle`, which
// takes the option's value from the list and returns false for an unknown
// option or a bad value. On the first failure prints "<tool>: <error>" and
// `usage` to stderr and returns false.
bool ParseCommandLine(int argc, const wchar_t* const* argv, const char* tool, const char* usage,
                      const std::function<bool(ArgumentList& args, const std::wstring& option)>& handle);

}  // namespace tools
