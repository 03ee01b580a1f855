#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <windows.h>

namespace {

// Reads a pipe to its end on its own thread.
class PipeReader {
 public:
  PipeReader() {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    CreatePipe(&read_, &write_, &inherit, 0);
    SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
  }
  ~PipeReader() {
    if (reader_.joinable()) reader_.join();
    CloseHandle(read_);
    if (write_ != nullptr) CloseHandle(write_);
  }
  HANDLE write() const { return write_; }
  // After the child started: the parent's end of the writer goes away.
  void StartReading() {
    CloseHandle(write_);
    write_ = nullptr;
    reader_ = std::thread([this] {
      char chunk[4096];
      DWORD got = 0;
      while (ReadFile(read_, chunk, sizeof chunk, &got, nullptr) && got > 0) text_.append(chunk, got);
    });
  }
  std::string Finish() {
    reader_.join();
    return text_;
  }

 private:
  HANDLE read_ = nullptr;
  HANDLE write_ = nullptr;
  std::thread reader_;
  std::string text_;
};

std::wstring HostPath() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self);
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"logger_host.exe";
}

}  // namespace

// The console line reaches a redirected standard output (where the console
// call fails), and the event source is installed with the host as its
// message file. (The reports themselves are checked by the logger_host_events
// test: Wine prints their strings only on debug channels that a process
// started from here cannot turn on.)
TEST(LoggerHostTest, ConsoleLinesReachAPipeAndTheEventSourceNamesTheHost) {
  PipeReader output;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output.write();
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  std::wstring command = L"\"" + HostPath() + L"\"";
  const BOOL created =
      CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  ASSERT_TRUE(created);
  output.StartReading();
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(0u, exitCode);

  const std::regex kVariable("\\(\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\):\\{0x[0-9A-F]{4,}\\}");
  const std::string console = std::regex_replace(output.Finish(), kVariable, "(T):{I}");
  EXPECT_EQ(
      "[30000] (T):{I} console \xE9\r\n"
      "[04660] (T):{I} error with id\r\n"
      "[20000] (T):{I} warning\r\n",
      console);

  // The source's key names the host, which carries the message table.
  wchar_t messageFile[MAX_PATH] = {};
  DWORD size = sizeof messageFile;
  ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE,
                                        L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\FernwickLoggerHost",
                                        L"EventMessageFile", RRF_RT_REG_SZ, nullptr, messageFile, &size));
  EXPECT_EQ(0, lstrcmpiW(HostPath().c_str(), messageFile));
  DWORD types = 0;
  size = sizeof types;
  RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\FernwickLoggerHost",
               L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types, &size);
  EXPECT_EQ(7u, types);
}
