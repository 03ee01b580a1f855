// ZelTool's WMI maintenance commands: MOF compilation and class removal, the
// clean-up of superseded counter providers, event-source installation. Every
// message the operations report goes to stderr with its level.

#include <cstdio>
#include <cwchar>
#include <string>

#include <windows.h>

#include "provider_log/event_source.h"
#include "registration/old_counters.h"
#include "registration/wmi_classes.h"
#include "support/text/charset_table.h"
#include "tools/zeltool/commands.h"
#include "tools/zeltool/output.h"

namespace {

// False after printing why COM is not available.
bool ComReady(const wchar_t* command, const ComInitializer& com) {
  if (com.IsInitialized()) return true;
  wchar_t result[16];
  swprintf(result, 16, L"0x%08lX", static_cast<unsigned long>(com.Result()));
  zeltool::PrintError(command, std::wstring(L"cannot initialise COM: ") + result);
  return false;
}

int Done(bool succeeded) { return succeeded ? zeltool::kExitOk : zeltool::kExitFailed; }

int UsageError(const char* usage) {
  std::fputs("usage:\n", stderr);
  std::fputs(usage, stderr);
  return zeltool::kExitUsage;
}

bool Is(const wchar_t* argument, const wchar_t* word) { return std::wcscmp(argument, word) == 0; }

}  // namespace

namespace zeltool {

const char kMofUsage[] =
    "  mof compile FILE              compile a MOF file into the WMI repository\n"
    "  mof remove-class CLASS        delete a WMI class and drop its MOF file from auto-recovery\n";
const char kCleanupUsage[] =
    "  cleanup router|agent          remove what a superseded counter provider left behind\n";
const char kEventSourceUsage[] =
    "  event-source install NAME     write the registry entries of an Application event source\n";

int MofMain(int argc, wchar_t** argv) {
  if (argc != 3 || !(Is(argv[1], L"compile") || Is(argv[1], L"remove-class"))) return UsageError(kMofUsage);
  ComInitializer com;
  if (!ComReady(L"mof", com)) return kExitFailed;
  if (Is(argv[1], L"compile")) return Done(zel_wmi::CompileMOFile(argv[2], PrintEveryReport));
  return Done(zel_wmi::RemoveClassFromWBEM(argv[2], PrintEveryReport));
}

int CleanupMain(int argc, wchar_t** argv) {
  if (argc != 2 || !(Is(argv[1], L"router") || Is(argv[1], L"agent"))) return UsageError(kCleanupUsage);
  if (Is(argv[1], L"router")) return Done(zel_wmi::RemoveOldRouterCounters(PrintEveryReport));
  // The agent's WMI classes are removed through the MOF compiler.
  ComInitializer com;
  if (!ComReady(L"cleanup", com)) return kExitFailed;
  return Done(zel_wmi::RemoveOldAgentCounters(PrintEveryReport));
}

int EventSourceMain(int argc, wchar_t** argv) {
  if (argc != 3 || !Is(argv[1], L"install")) return UsageError(kEventSourceUsage);
  return Done(InstallEventSource(argv[2], PrintEveryReport));
}

}  // namespace zeltool
