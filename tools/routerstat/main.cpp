// RouterStat: a typeperf-like console for the router session counter
// provider. It activates the provider (through COM, or from a module file),
// holds a refresher with an enumerator on the session class, and prints every
// session's counters and their per-second rates once per interval, or keeps
// a Prometheus textfile current.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "support/fs/code_page.h"
#include "support/fs/system_error.h"
#include "tools/common/arguments.h"
#include "tools/common/console_stop.h"
#include "tools/routerstat/provider_link.h"
#include "tools/routerstat/samples.h"
#include "tools/routerstat/text_file.h"
#include "tools/wmihost/host_session.h"

namespace {

enum ExitCode {
  kExitOk = 0,
  kExitUsage = 2,
  kExitNotRegistered = 3,
  kExitNotLoadable = 4,
  kExitInitFailed = 5,
  kExitRouterNotRunning = 6,
  kExitSamplingFailed = 7,
  kExitTextFileFailed = 8,
};

const char kUsage[] =
    "usage: RouterStat [--module PATH | --clsid GUID] [--interval SECONDS] [--count N]\n"
    "                  [--format table|csv|json|prometheus] [--textfile PATH] [--once]\n"
    "  --module PATH     load the provider DLL from PATH instead of through its COM registration\n"
    "  --clsid GUID      activate the provider registered under GUID\n"
    "                    (default {72390812-EE29-4307-9B19-ACF198DDB068})\n"
    "  --interval S      seconds between samples, 0.05..3600 (default 1)\n"
    "  --count N         stop after N samples; 0 runs until Ctrl+C (default 0)\n"
    "  --format F        table (default), csv, json (one object per sample and line) or\n"
    "                    prometheus (the text exposition format, a complete one per sample)\n"
    "  --textfile PATH   replace PATH with every sample in the prometheus format, atomically,\n"
    "                    for the textfile collector of the Windows exporter; prints nothing\n"
    "  --once            after one interval, print the sessions of a single enumeration\n"
    "exit codes: 0 done, 2 usage, 3 provider not registered, 4 provider not loadable,\n"
    "            5 provider failed to initialise, 6 router not running, 7 sampling failed,\n"
    "            8 the textfile cannot be written\n";

struct Options {
  std::wstring module;
  CLSID clsid = wmihost::kProviderClsid;
  double interval = 1;
  int64_t count = 0;
  routerstat::Format format = routerstat::Format::Table;
  bool formatGiven = false;
  std::wstring textFile;
  bool once = false;
};

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
  const auto handle = [&](tools::ArgumentList& args, const std::wstring& option) {
    std::wstring text;
    if (option == L"--module") return args.TakeText(option, &options->module);
    if (option == L"--clsid") {
      if (args.TakeText(option, &text) && SUCCEEDED(CLSIDFromString(text.c_str(), &options->clsid))) return true;
      return args.Fail(L"--clsid needs a class id such as {72390812-EE29-4307-9B19-ACF198DDB068}");
    }
    if (option == L"--interval") return args.TakeNumber(option, 0.05, 3600, &options->interval);
    if (option == L"--count") return args.TakeInteger(option, 0, INT32_MAX, &options->count);
    if (option == L"--format") {
      static const std::pair<const wchar_t*, routerstat::Format> kFormats[] = {
          {L"table", routerstat::Format::Table},
          {L"csv", routerstat::Format::Csv},
          {L"json", routerstat::Format::Json},
          {L"prometheus", routerstat::Format::Prometheus}};
      if (args.TakeText(option, &text)) {
        for (const auto& [name, format] : kFormats) {
          if (text != name) continue;
          options->format = format;
          options->formatGiven = true;
          return true;
        }
      }
      return args.Fail(L"--format needs table, csv, json or prometheus");
    }
    if (option == L"--textfile") {
      if (!args.TakeText(option, &options->textFile) || options->textFile.empty()) {
        return args.Fail(L"--textfile needs the path of the file to write");
      }
      return true;
    }
    if (option != L"--once") return args.RejectUnknown(option);
    options->once = true;
    return true;
  };
  if (!tools::ParseCommandLine(argc, argv, "RouterStat", kUsage, handle)) return false;
  if (options->textFile.empty()) return true;
  if (options->formatGiven && options->format != routerstat::Format::Prometheus) {
    std::fprintf(stderr, "RouterStat: --textfile writes the prometheus format only\n%s", kUsage);
    return false;
  }
  options->format = routerstat::Format::Prometheus;
  return true;
}

std::string Narrow(const std::wstring& text) { return WideToNarrow(text); }

std::string ResultText(HRESULT result) {
  char code[16];
  std::snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(result));
  const std::wstring text = SystemErrorText(static_cast<DWORD>(result));
  return text.empty() ? code : std::string(code) + " (" + Narrow(text) + ")";
}

std::string ClassIdText(const CLSID& clsid) {
  wchar_t text[64] = {};
  StringFromGUID2(clsid, text, 64);
  return Narrow(text);
}

int ReportLinkFailure(routerstat::LinkStatus status, const Options& options, HRESULT result) {
  const std::string source = options.module.empty() ? "class " + ClassIdText(options.clsid) : Narrow(options.module);
  switch (status) {
    case routerstat::LinkStatus::NotRegistered:
      std::fprintf(stderr,
                   "RouterStat: the provider %s is not registered.\n"
                   "  Register it, as an administrator: regsvr32 FernwickRouterSessionPerf.dll\n"
                   "  or load the DLL directly: RouterStat --module <path to FernwickRouterSessionPerf.dll>\n",
                   source.c_str());
      return kExitNotRegistered;
    case routerstat::LinkStatus::NotLoadable:
      std::fprintf(stderr,
                   "RouterStat: cannot load the provider (%s): %s.\n"
                   "  Check that the file exists and is the 64-bit FernwickRouterSessionPerf.dll; if the DLL\n"
                   "  was moved since registration, register it again with regsvr32.\n",
                   source.c_str(), ResultText(result).c_str());
      return kExitNotLoadable;
    case routerstat::LinkStatus::InitFailed:
      std::fprintf(stderr,
                   "RouterStat: the provider (%s) failed to initialise: %s.\n"
                   "  See the provider's log below %%TEMP%% for the cause.\n",
                   source.c_str(), ResultText(result).c_str());
      return kExitInitFailed;
    case routerstat::LinkStatus::Ready:
      break;
  }
  return kExitOk;
}

int ReportRouterNotRunning() {
  std::fprintf(stderr,
               "RouterStat: no router sessions: the router is not running (or has no sessions).\n"
               "  Start the router service (or RouterSim.exe) and run RouterStat again.\n");
  return kExitRouterNotRunning;
}

int ReportSamplingFailure(const char* step, HRESULT result) {
  std::fprintf(stderr, "RouterStat: %s failed: %s.\n", step, ResultText(result).c_str());
  return kExitSamplingFailed;
}

// False once the reader has gone away (a closed pipe, say).
bool Emit(const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

int ReportTextFileFailure(const std::wstring& path, DWORD error) {
  std::fprintf(stderr,
               "RouterStat: cannot write the textfile %s: %lu (%s).\n"
               "  Check that its folder exists and that this account may create and replace files there.\n",
               Narrow(path).c_str(), static_cast<unsigned long>(error), Narrow(SystemErrorText(error)).c_str());
  return kExitTextFileFailed;
}

// Where the samples go: standard output, or the textfile. Stops the run with
// `exitCode` when they cannot go on.
class SampleOutput {
 public:
  explicit SampleOutput(const std::wstring& textFile) : textFile_(textFile) {}

  // Nothing to deliver (a format's empty header) leaves the file alone.
  bool Deliver(const std::string& text, int* exitCode) {
    if (text.empty()) return true;
    if (textFile_.empty()) return Emit(text);
    const DWORD error = routerstat::ReplaceFileText(textFile_, text);
    if (error == ERROR_SUCCESS) return true;
    *exitCode = ReportTextFileFailure(textFile_, error);
    return false;
  }

 private:
  const std::wstring& textFile_;
};

class Clock {
 public:
  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

int Run(const Options& options, const routerstat::ProviderLink& link) {
  tools::ConsoleStop stop;
  const auto intervalMs = static_cast<DWORD>(options.interval * 1000);
  const auto writer = routerstat::MakeWriter(options.format, routerstat::CounterNames());

  // The provider maps the router's block when it creates a refresher: a
  // refresher that starts without instances means there is no router.
  SampleOutput output(options.textFile);
  int exitCode = kExitOk;
  routerstat::RefreshedSessions refreshed(link);
  HRESULT hr = refreshed.Open();
  if (FAILED(hr)) return ReportSamplingFailure("creating the refresher", hr);
  if (refreshed.InstanceCount() == 0) return ReportRouterNotRunning();

  const Clock clock;
  routerstat::Sample previous;
  if (!output.Deliver(writer->Header(), &exitCode)) return exitCode;
  for (int number = 1; options.count == 0 || number <= options.count; ++number) {
    // Every sample, the first included, comes one interval after the last, so
    // the provider's polling thread has copied the counters by then.
    if (WaitForSingleObject(stop.Event(), intervalMs) != WAIT_TIMEOUT) break;
    routerstat::Sample sample;
    sample.number = number;
    if (options.once) {
      hr = routerstat::QueryOnce(link, &sample.sessions);
      if (FAILED(hr)) return ReportSamplingFailure("the enumeration", hr);
      if (sample.sessions.empty()) return ReportRouterNotRunning();
    } else {
      hr = refreshed.Take(&sample.sessions);
      if (FAILED(hr)) return ReportSamplingFailure("the refresh", hr);
    }
    sample.seconds = clock.Seconds();
    const auto rows = routerstat::ComputeRows(number > 1 ? &previous : nullptr, sample);
    if (!output.Deliver(writer->Format(sample, rows), &exitCode) || options.once) break;
    previous = std::move(sample);
  }
  return exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return kExitUsage;
  // The exposition format wants bare line feeds, not the text mode's CR LF.
  if (options.format == routerstat::Format::Prometheus) _setmode(_fileno(stdout), _O_BINARY);

  routerstat::ProviderLink link;
  const routerstat::LinkStatus status =
      options.module.empty() ? link.Activate(options.clsid) : link.Load(options.module);
  if (status != routerstat::LinkStatus::Ready) return ReportLinkFailure(status, options, link.Result());
  return Run(options, link);
}
