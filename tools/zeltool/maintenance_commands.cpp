// ZelTool's WMI maintenance commands: MOF compilation and class removal, the
// clean-up of superseded counter providers, event-source installation. The
// operations report through a callback that prints every message on stderr.

#include <cstdio>
#include <cwchar>
#include <string>

#include "provider_log/event_source.h"
#include "registration/old_counters.h"
#include "registration/wmi_classes.h"
#include "support/fs/code_page.h"
#include "support/text/charset_table.h"
#include "tools/zeltool/commands.h"

namespace {

intptr_t PrintMessage(int32_t level, int32_t, int32_t, int32_t, const wchar_t* message, const char*, int32_t,
                      ErrorRecord*) {
  std::wstring text = message != nullptr ? message : L"";
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  std::fprintf(stderr, "level %d: %s\n", static_cast<int>(level), WideToNarrow(text).c_str());
  return 0;
}

// False after printing why COM is not available.
bool ComReady(const ComInitializer& com) {
  if (com.IsInitialized()) return true;
  std::fprintf(stderr, "ZelTool: cannot initialise COM: 0x%08lX\n", static_cast<unsigned long>(com.Result()));
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
  if (!ComReady(com)) return kExitFailed;
  if (Is(argv[1], L"compile")) return Done(zel_wmi::CompileMOFile(argv[2], PrintMessage));
  return Done(zel_wmi::RemoveClassFromWBEM(argv[2], PrintMessage));
}

int CleanupMain(int argc, wchar_t** argv) {
  if (argc != 2 || !(Is(argv[1], L"router") || Is(argv[1], L"agent"))) return UsageError(kCleanupUsage);
  // The agent's WMI classes are removed through the MOF compiler.
  ComInitializer com;
  if (!ComReady(com)) return kExitFailed;
  if (Is(argv[1], L"router")) return Done(zel_wmi::RemoveOldRouterCounters(PrintMessage));
  return Done(zel_wmi::RemoveOldAgentCounters(PrintMessage));
}

int EventSourceMain(int argc, wchar_t** argv) {
  if (argc != 3 || !Is(argv[1], L"install")) return UsageError(kEventSourceUsage);
  return Done(InstallEventSource(argv[2], PrintMessage));
}

}  // namespace zeltool
