// Measures the environment report that opens every log file: the first
// report of a process (which gathers what does not change, including the
// performance-data query for the up time) and the reports of later files,
// which repeat that part and read only memory, disk, up time, time zone and
// processes. A fresh object per report shows what every open cost when
// nothing was kept. Lines go to a counting sink. Prints its figures;
// asserts nothing.

#include <algorithm>
#include <cstdio>
#include <vector>

#include <windows.h>

#include "support/environment/environment_report.h"

namespace {

constexpr int kLaterReports = 21;
constexpr int kFreshReports = 3;

int g_lines = 0;

intptr_t CountLine(int32_t, int32_t, int32_t, int32_t, const wchar_t*, const char*, int32_t, ErrorRecord*) {
  ++g_lines;
  return 1;
}

double Milliseconds() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart) / 1000.0;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / frequency;
}

// Milliseconds one report takes, and how many lines it sent.
double TimeReport(ReportEnvironment& report, int* lines) {
  g_lines = 0;
  const double start = Milliseconds();
  report.ReportEnvironmentVersions();
  const double elapsed = Milliseconds() - start;
  *lines = g_lines;
  return elapsed;
}

}  // namespace

int main() {
  ReportEnvironment kept;
  kept.SetSink(&CountLine);
  int lines = 0;
  const double first = TimeReport(kept, &lines);
  std::printf("first report of the process: %.1f ms, %d lines\n", first, lines);

  std::vector<double> later;
  for (int i = 0; i < kLaterReports; ++i) later.push_back(TimeReport(kept, &lines));
  std::sort(later.begin(), later.end());
  std::printf("report on a rolled file (kept parts repeated), %d runs: median %.2f ms, max %.2f ms, %d lines\n",
              kLaterReports, later[later.size() / 2], later.back(), lines);

  std::vector<double> fresh;
  for (int i = 0; i < kFreshReports; ++i) {
    ReportEnvironment report;
    report.SetSink(&CountLine);
    fresh.push_back(TimeReport(report, &lines));
  }
  std::sort(fresh.begin(), fresh.end());
  std::printf("report gathered afresh (every open before), %d runs: median %.1f ms, max %.1f ms, %d lines\n",
              kFreshReports, fresh[fresh.size() / 2], fresh.back(), lines);
  return 0;
}
