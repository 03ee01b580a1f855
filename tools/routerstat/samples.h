#pragma once
// Samples of the session counters as RouterStat takes them, the per-second
// rates between two samples, and the output formats.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace routerstat {

constexpr size_t kCounters = 4;
using Counters = std::array<uint32_t, kCounters>;
using Rates = std::array<double, kCounters>;

struct SessionSample {
  std::wstring name;
  Counters counters{};
};

struct Sample {
  int number = 0;        // 1, 2, ... in the order taken
  double seconds = 0;    // when it was taken, from the start of sampling
  std::vector<SessionSample> sessions;
};

struct SessionRow {
  std::wstring name;
  Counters counters{};
  // Empty for the first sample of a session: a rate needs two.
  std::optional<Rates> rates;
};

// One row per session of `current`. A session also found, by name, in
// `previous` gets rates: the counter's increase (modulo 2^32, as the
// counters wrap) divided by the seconds between the samples.
std::vector<SessionRow> ComputeRows(const Sample* previous, const Sample& current);

enum class Format { Table, Csv, Json, Prometheus };

// Turns samples into text, UTF-8. Header() comes once before the first
// sample (it may be empty).
class SampleWriter {
 public:
  virtual ~SampleWriter() = default;
  virtual std::string Header() const = 0;
  virtual std::string Format(const Sample& sample, const std::vector<SessionRow>& rows) const = 0;
};

// Column names are the counters' WMI property names, in reading order.
std::unique_ptr<SampleWriter> MakeWriter(Format format, const std::array<std::wstring, kCounters>& counterNames);

}  // namespace routerstat
