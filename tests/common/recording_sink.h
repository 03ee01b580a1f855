#pragma once
// Puts the process-wide logger into direct-sink mode for one scope and keeps
// every text it is handed.

#include <mutex>
#include <string>
#include <vector>

#include "support/logging/debug_logger.h"

class RecordingSink : public LogSink {
 public:
  RecordingSink() { AttachSink(this); }
  ~RecordingSink() { DetachSink(); }
  RecordingSink(const RecordingSink&) = delete;
  RecordingSink& operator=(const RecordingSink&) = delete;

  void Write(ZELString& text) override {
    std::lock_guard<std::mutex> guard(mutex_);
    texts_.emplace_back(text.GetWide() != nullptr ? text.GetWide() : L"");
  }
  std::vector<std::wstring> texts() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return texts_;
  }
  // The texts that start with `prefix`.
  std::vector<std::wstring> StartingWith(const std::wstring& prefix) const {
    std::vector<std::wstring> found;
    for (const auto& text : texts()) {
      if (text.compare(0, prefix.size(), prefix) == 0) found.push_back(text);
    }
    return found;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::wstring> texts_;
};
