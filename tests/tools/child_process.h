#pragma once
// Runs a console program as a separate process with its standard output and
// error on pipes, for tests that drive the tools end to end. Every wait is
// bounded; a process still running when the object dies is terminated.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <windows.h>

#include "support/fs/unique_handle.h"

namespace tools_test {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // `program` is a path; `arguments` are appended to its quoted path.
  bool Start(const std::wstring& program, const std::wstring& arguments);
  // The next line of standard output without its line end; empty when none
  // came within `timeout` or the output ended.
  std::optional<std::string> NextLine(std::chrono::milliseconds timeout);
  // The exit code, or empty when the process is still running after `timeout`.
  std::optional<DWORD> WaitForExit(std::chrono::milliseconds timeout);
  // Everything written to standard error so far.
  std::string ErrorText();

 private:
  struct Stream {
    std::string pending;  // stdout: the unfinished last line; stderr: all text
    std::deque<std::string> lines;
    bool ended = false;
  };
  void Pump(HANDLE pipe, Stream* stream, bool splitLines);

  UniqueHandle process_;
  UniqueHandle job_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Stream out_;
  Stream err_;
  std::thread outReader_;
  std::thread errReader_;
};

}  // namespace tools_test
