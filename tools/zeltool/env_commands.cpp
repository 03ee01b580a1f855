// ZelTool env: the environment report, its "[ENV] " lines on stdout and any
// other report (errors of a source) on stderr.
#include <cwchar>

#include "support/environment/environment_report.h"
#include "tools/common/arguments.h"
#include "tools/zeltool/commands.h"
#include "tools/zeltool/output.h"

namespace zeltool {

namespace {

intptr_t PrintEnvironmentLine(int32_t level, int32_t a, int32_t b, int32_t c, const wchar_t* message,
                              const char* function, int32_t line, ErrorRecord* record) {
  if (message == nullptr) return 0;
  if (std::wcsncmp(message, L"[ENV] ", 6) == 0) {
    PrintLine(message);
    return 1;
  }
  return PrintReport(level, a, b, c, message, function, line, record);
}

}  // namespace

const char kEnvUsage[] = "  env                         the environment report, one \"[ENV] \" line each\n";

int RunEnv(int argc, wchar_t** argv) {
  if (!tools::ParseCommandLine(argc, argv, "ZelTool env", kEnvUsage, [](tools::ArgumentList& args,
                                                                         const std::wstring& option) {
        return args.RejectUnknown(option);
      })) {
    return kExitUsage;
  }
  ReportEnvironment report;
  report.SetSink(&PrintEnvironmentLine);
  report.ReportEnvironmentVersions();
  return kExitOk;
}

}  // namespace zeltool
