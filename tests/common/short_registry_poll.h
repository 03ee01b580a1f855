#pragma once
// Lets the logger poll its registry settings every second for one test's
// time, instead of every 30 s.

#include "support/logging/registry_poll.h"

class ShortRegistryPoll {
 public:
  ShortRegistryPoll() : saved_(RegistryPollMilliseconds()) { SetRegistryPollMilliseconds(1000); }
  ~ShortRegistryPoll() { SetRegistryPollMilliseconds(saved_); }
  ShortRegistryPoll(const ShortRegistryPoll&) = delete;
  ShortRegistryPoll& operator=(const ShortRegistryPoll&) = delete;

 private:
  const DWORD saved_;
};
