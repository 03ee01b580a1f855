#include "tools/routerstat/samples.h"

#include <algorithm>
#include <cstdio>

#include <windows.h>

#include "support/fs/code_page.h"
#include "tools/routerstat/exposition.h"

namespace routerstat {

namespace {

std::string Utf8(const std::wstring& text) { return WideToNarrow(text, CP_UTF8); }

std::string Printf(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), format, value);
  return buffer;
}

std::string Fixed3(double value) { return Printf("%.3f", value); }

std::string PadLeft(const std::string& text, size_t width) {
  return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

std::string PadRight(const std::string& text, size_t width) {
  return text.size() < width ? text + std::string(width - text.size(), ' ') : text;
}

class TableWriter : public SampleWriter {
 public:
  explicit TableWriter(const std::array<std::wstring, kCounters>& names) {
    for (size_t k = 0; k < kCounters; ++k) names_[k] = Utf8(names[k]);
  }

  std::string Header() const override { return std::string(); }

  std::string Format(const Sample& sample, const std::vector<SessionRow>& rows) const override {
    size_t nameWidth = 4;
    for (const SessionRow& row : rows) nameWidth = std::max(nameWidth, Utf8(row.name).size());
    std::string out = "sample " + std::to_string(sample.number) + " at " + Fixed3(sample.seconds) + " s, " +
                      std::to_string(rows.size()) + (rows.size() == 1 ? " session\n" : " sessions\n");
    out += PadRight("Name", nameWidth);
    for (const std::string& name : names_) out += "  " + PadLeft(name, ColumnWidth(name)) + "  " + PadLeft("/s", kRateWidth);
    out += '\n';
    for (const SessionRow& row : rows) {
      out += PadRight(Utf8(row.name), nameWidth);
      for (size_t k = 0; k < kCounters; ++k) {
        out += "  " + PadLeft(std::to_string(row.counters[k]), ColumnWidth(names_[k])) + "  " +
               PadLeft(row.rates ? Printf("%.1f", (*row.rates)[k]) : "-", kRateWidth);
      }
      out += '\n';
    }
    return out + '\n';
  }

 private:
  static constexpr size_t kRateWidth = 9;
  static size_t ColumnWidth(const std::string& name) { return std::max<size_t>(name.size(), 10); }

  std::array<std::string, kCounters> names_;
};

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + '"';
}

class CsvWriter : public SampleWriter {
 public:
  explicit CsvWriter(const std::array<std::wstring, kCounters>& names) {
    header_ = "sample,seconds,Name";
    for (const auto& name : names) header_ += ',' + CsvField(Utf8(name));
    for (const auto& name : names) header_ += ',' + CsvField(Utf8(name) + "/s");
    header_ += '\n';
  }

  std::string Header() const override { return header_; }

  std::string Format(const Sample& sample, const std::vector<SessionRow>& rows) const override {
    std::string out;
    for (const SessionRow& row : rows) {
      out += std::to_string(sample.number) + ',' + Fixed3(sample.seconds) + ',' + CsvField(Utf8(row.name));
      for (uint32_t value : row.counters) out += ',' + std::to_string(value);
      for (size_t k = 0; k < kCounters; ++k) out += ',' + (row.rates ? Fixed3((*row.rates)[k]) : std::string());
      out += '\n';
    }
    return out;
  }

 private:
  std::string header_;
};

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + '"';
}

// One JSON object per sample and line, so a consumer can read samples as
// they come.
class JsonWriter : public SampleWriter {
 public:
  explicit JsonWriter(const std::array<std::wstring, kCounters>& names) {
    for (size_t k = 0; k < kCounters; ++k) keys_[k] = JsonString(Utf8(names[k]));
  }

  std::string Header() const override { return std::string(); }

  std::string Format(const Sample& sample, const std::vector<SessionRow>& rows) const override {
    std::string out = "{\"sample\":" + std::to_string(sample.number) + ",\"seconds\":" + Fixed3(sample.seconds) +
                      ",\"sessions\":[";
    for (size_t i = 0; i < rows.size(); ++i) {
      const SessionRow& row = rows[i];
      out += (i > 0 ? ",{\"Name\":" : "{\"Name\":") + JsonString(Utf8(row.name));
      for (size_t k = 0; k < kCounters; ++k) out += ',' + keys_[k] + ':' + std::to_string(row.counters[k]);
      out += ",\"rates\":";
      if (row.rates) {
        for (size_t k = 0; k < kCounters; ++k) out += (k == 0 ? "{" : ",") + keys_[k] + ':' + Fixed3((*row.rates)[k]);
        out += '}';
      } else {
        out += "null";
      }
      out += '}';
    }
    return out + "]}\n";
  }

 private:
  std::array<std::string, kCounters> keys_;
};

}  // namespace

std::vector<SessionRow> ComputeRows(const Sample* previous, const Sample& current) {
  std::vector<SessionRow> rows;
  const double seconds = previous != nullptr ? current.seconds - previous->seconds : 0;
  for (const SessionSample& session : current.sessions) {
    SessionRow row{session.name, session.counters, std::nullopt};
    const SessionSample* before = nullptr;
    if (previous != nullptr && seconds > 0) {
      for (const SessionSample& candidate : previous->sessions) {
        if (candidate.name == session.name) before = &candidate;
      }
    }
    if (before != nullptr) {
      Rates rates;
      for (size_t k = 0; k < kCounters; ++k) {
        rates[k] = static_cast<uint32_t>(session.counters[k] - before->counters[k]) / seconds;
      }
      row.rates = rates;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::unique_ptr<SampleWriter> MakeWriter(Format format, const std::array<std::wstring, kCounters>& counterNames) {
  switch (format) {
    case Format::Csv:
      return std::make_unique<CsvWriter>(counterNames);
    case Format::Json:
      return std::make_unique<JsonWriter>(counterNames);
    case Format::Prometheus:
      return MakeExpositionWriter(counterNames);
    case Format::Table:
      break;
  }
  return std::make_unique<TableWriter>(counterNames);
}

}  // namespace routerstat
