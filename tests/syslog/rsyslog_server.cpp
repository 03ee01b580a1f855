#include "tests/syslog/rsyslog_server.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <windows.h>

namespace syslog_test {

namespace {

constexpr int kPollMilliseconds = 50;
constexpr int kWaitPolls = 200;
// Unix paths of the Linux-side script: Wine maps them below drive Z:.
std::string UnixPath(const std::string& winePath) {
  std::string path = winePath.size() > 2 && winePath[1] == ':' ? winePath.substr(2) : winePath;
  for (char& c : path) c = c == '\\' ? '/' : c;
  return path;
}

}  // namespace

bool RsyslogServer::Attach(std::string& error) {
  const char* folder = std::getenv("FERNWICK_RSYSLOG_DIR");
  const char* script = std::getenv("FERNWICK_RSYSLOG_SCRIPT");
  if (folder == nullptr || script == nullptr) {
    error = "FERNWICK_RSYSLOG_DIR and FERNWICK_RSYSLOG_SCRIPT are not set (run through ctest)";
    return false;
  }
  folder_ = folder;
  script_ = script;
  std::istringstream ports(ReadFile("ports"));
  ports >> udpPort_ >> tcpPort_;
  if (udpPort_ == 0 || tcpPort_ == 0 || ReadFile("state").rfind("running", 0) != 0) {
    error = "rsyslogd is not running in " + folder_;
    return false;
  }
  return true;
}

std::vector<std::string> RsyslogServer::WaitForLines(const std::string& marker, size_t count) const {
  std::vector<std::string> lines;
  for (int poll = 0; poll < kWaitPolls; ++poll) {
    lines.clear();
    std::istringstream all(ReadFile("messages.log"));
    for (std::string line; std::getline(all, line);) {
      if (line.find(marker) != std::string::npos) lines.push_back(line);
    }
    if (lines.size() >= count) break;
    Sleep(kPollMilliseconds);
  }
  return lines;
}

bool RsyslogServer::Control(const char* action, const char* state) const {
  // Wine starts Linux programs directly; their exit code does not come
  // back, so the script's state file tells when it is done.
  std::string command = "/bin/bash " + UnixPath(script_) + " " + action + " " + UnixPath(folder_);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // The script writes the state last; a stale state of the same name is
  // possible only for a repeated action, which the tests never do.
  for (int poll = 0; poll < kWaitPolls * 2; ++poll) {
    if (ReadFile("state").rfind(state, 0) == 0) return true;
    Sleep(kPollMilliseconds);
  }
  return false;
}

std::string RsyslogServer::ReadFile(const char* name) const {
  std::ifstream file(folder_ + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace syslog_test
