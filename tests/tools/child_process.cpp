#include "tests/tools/child_process.h"

#include <vector>

namespace tools_test {

namespace {

// A pipe whose write end the child inherits and whose read end stays here.
bool MakePipe(UniqueHandle* read, UniqueHandle* write) {
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &attributes, 0)) return false;
  read->reset(readEnd);
  write->reset(writeEnd);
  return SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0) != 0;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), 10000);
  }
  // The readers end once the child has ended.
  if (outReader_.joinable()) outReader_.join();
  if (errReader_.joinable()) errReader_.join();
}

bool ChildProcess::Start(const std::wstring& program, const std::wstring& arguments) {
  UniqueHandle outRead, outWrite, errRead, errWrite;
  if (!MakePipe(&outRead, &outWrite) || !MakePipe(&errRead, &errWrite)) return false;

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = outWrite.get();
  startup.hStdError = errWrite.get();
  std::wstring commandLine = L"\"" + program + L"\" " + arguments;
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &info)) {
    return false;
  }
  process_.reset(info.hProcess);
  CloseHandle(info.hThread);
  // A job that kills the child should this test process die first.
  job_.reset(CreateJobObjectW(nullptr, nullptr));
  if (job_) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    AssignProcessToJobObject(job_.get(), process_.get());
  }
  // Only the child may hold the write ends, so the pipes end when it does.
  outWrite.reset();
  errWrite.reset();
  outReader_ = std::thread([this, pipe = std::make_shared<UniqueHandle>(std::move(outRead))] {
    Pump(pipe->get(), &out_, true);
  });
  errReader_ = std::thread([this, pipe = std::make_shared<UniqueHandle>(std::move(errRead))] {
    Pump(pipe->get(), &err_, false);
  });
  return true;
}

// Reads until the pipe ends or the child has ended and its output is all
// read: a process the child started (Wine's desktop process, for one) may
// hold the write end long after the child is gone.
void ChildProcess::Pump(HANDLE pipe, Stream* stream, bool splitLines) {
  char buffer[4096];
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) break;
    if (available == 0) {
      if (WaitForSingleObject(process_.get(), 20) != WAIT_OBJECT_0) continue;
      if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) break;
    }
    DWORD read = 0;
    if (!ReadFile(pipe, buffer, available < sizeof(buffer) ? available : sizeof(buffer), &read, nullptr)) break;
    std::lock_guard<std::mutex> lock(mutex_);
    stream->pending.append(buffer, read);
    size_t end = 0;
    while (splitLines && (end = stream->pending.find('\n')) != std::string::npos) {
      std::string line = stream->pending.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      stream->lines.push_back(std::move(line));
      stream->pending.erase(0, end + 1);
    }
    changed_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  stream->ended = true;
  changed_.notify_all();
}

std::optional<std::string> ChildProcess::NextLine(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [this] { return !out_.lines.empty() || out_.ended; });
  if (out_.lines.empty()) return std::nullopt;
  std::string line = std::move(out_.lines.front());
  out_.lines.pop_front();
  return line;
}

std::optional<DWORD> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (!process_ || WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  GetExitCodeProcess(process_.get(), &code);
  // Let the stderr reader take in the last of the output.
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [this] { return err_.ended; });
  return code;
}

std::string ChildProcess::ErrorText() {
  std::lock_guard<std::mutex> lock(mutex_);
  return err_.pending;
}

}  // namespace tools_test
