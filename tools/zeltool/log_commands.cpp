// ZelTool log: runs the process-wide logger as a service would run it,
// configured by its registry key, logs one text a number of times, then
// flushes and stops it.

#include <cstdio>
#include <string>

#include "support/logging/debug_log.h"
#include "support/logging/debug_logger.h"
#include "tools/zeltool/commands.h"
#include "tools/zeltool/logger_options.h"

namespace zeltool {

namespace {

// The options of log after the LOGGER-OPTIONS, and its TEXT.
struct LogOptions {
  int64_t level = 3;
  int64_t eventId = 0;
  std::wstring tag;
  bool tagGiven = false;
  int64_t count = 1;
  std::wstring text;
  bool textGiven = false;
};

bool TakeOption(tools::ArgumentList& args, const std::wstring& item, LogOptions& o) {
  if (item == L"--tag") return o.tagGiven = args.TakeText(item, &o.tag);
  if (item == L"--level") return args.TakeInteger(item, 0, 15, &o.level);
  if (item == L"--event-id") return args.TakeInteger(item, 0, 0xFFFFFFFFLL, &o.eventId);
  if (item == L"--count") return args.TakeInteger(item, 1, 1000000, &o.count);
  if (item.rfind(L"--", 0) == 0) return args.RejectUnknown(item);
  if (o.textGiven) return args.Fail(L"only one TEXT is taken: " + item);
  o.text = item;
  return o.textGiven = true;
}

}  // namespace

const char kLogUsage[] =
    "  log [--key KEY] [--user] [--source NAME] (--file PATH | --root FOLDER [--ident IDENT])\n"
    "      [--level N] [--event-id N] [--tag TAG] [--count N] TEXT\n"
    "                              start the logger as KEY configures it (HKEY_LOCAL_MACHINE, or\n"
    "                              HKEY_CURRENT_USER with --user), log TEXT N times, flush and stop\n";

int RunLog(int argc, wchar_t** argv) {
  LoggerOptions logger;
  LogOptions o;
  if (!ParseLoggerCommandLine(argc, argv, "ZelTool log", kLogUsage, logger,
                              [&](tools::ArgumentList& args, const std::wstring& item) {
                                return TakeOption(args, item, o);
                              })) {
    return kExitUsage;
  }
  if (!o.textGiven) {
    std::fputs("ZelTool log: TEXT is missing\n", stderr);
    std::fputs(kLogUsage, stderr);
    return kExitUsage;
  }
  if (!StartLogger(L"log", logger)) return kExitLoggerNotReady;
  // The text is an argument, never a format.
  const int32_t level = static_cast<int32_t>(o.level);
  const uint32_t eventId = static_cast<uint32_t>(o.eventId);
  for (int64_t i = 0; i < o.count; ++i) {
    if (o.tagGiven) {
      DebugLogUserId(o.tag.c_str(), level, eventId, L"%s", o.text.c_str());
    } else {
      DebugLogId(level, eventId, L"%s", o.text.c_str());
    }
  }
  FlushAndStopDebugLogger();
  return kExitOk;
}

}  // namespace zeltool
