#include "tools/routerstat/exposition.h"

#include <set>
#include <utility>
#include <vector>

#include <windows.h>

#include "support/fs/code_page.h"

namespace routerstat {

namespace {

constexpr char kFamilyPrefix[] = "fernwick_router_session_";
constexpr char kSessionsGauge[] = "fernwick_router_sessions";

// Property names are ASCII letters, digits and underscores, which are metric
// name characters as they stand.
std::string FamilyName(const std::wstring& counter) {
  std::string name = kFamilyPrefix;
  for (wchar_t c : counter) name += static_cast<char>(c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c);
  return name + "_total";
}

// Label values escape backslash, double quote and line feed; everything else
// stands as UTF-8. Units that are no UTF-16 (a lone surrogate) arrive as
// U+FFFD from the conversion, so the text is always valid UTF-8.
std::string LabelValue(const std::wstring& text) {
  std::string out;
  for (char c : WideToNarrow(text, CP_UTF8)) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void AppendFamilyHeader(std::string* out, const std::string& name, const std::string& help, const char* type) {
  *out += "# HELP " + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

class ExpositionWriter : public SampleWriter {
 public:
  explicit ExpositionWriter(const std::array<std::wstring, kCounters>& names) {
    for (size_t k = 0; k < kCounters; ++k) {
      families_[k] = FamilyName(names[k]);
      helps_[k] = "Running total " + WideToNarrow(names[k], CP_UTF8) +
                  " of a router session, the raw 32-bit value the provider serves (wraps at 2^32).";
    }
  }

  std::string Header() const override { return std::string(); }

  // Each sample is a complete exposition: the textfile collector reads one
  // per file. Names that give the same label value (the same name served
  // twice, or two that differ only in broken units) get one series, the
  // first: a repeated label set makes the whole exposition invalid.
  std::string Format(const Sample&, const std::vector<SessionRow>& rows) const override {
    std::vector<std::pair<const SessionRow*, std::string>> series;  // row and its label set
    std::set<std::string> seen;
    for (const SessionRow& row : rows) {
      std::string labels = "{session=\"" + LabelValue(row.name) + "\"} ";
      if (seen.insert(labels).second) series.emplace_back(&row, std::move(labels));
    }
    std::string out;
    for (size_t k = 0; k < kCounters; ++k) {
      AppendFamilyHeader(&out, families_[k], helps_[k], "counter");
      for (const auto& [row, labels] : series) out += families_[k] + labels + std::to_string(row->counters[k]) + '\n';
    }
    AppendFamilyHeader(&out, kSessionsGauge, "Number of router sessions the provider serves.", "gauge");
    return out + kSessionsGauge + ' ' + std::to_string(rows.size()) + '\n';
  }

 private:
  std::array<std::string, kCounters> families_;
  std::array<std::string, kCounters> helps_;
};

}  // namespace

std::unique_ptr<SampleWriter> MakeExpositionWriter(const std::array<std::wstring, kCounters>& counterNames) {
  return std::make_unique<ExpositionWriter>(counterNames);
}

}  // namespace routerstat
