#pragma once
// Plays a busy router: rewrites the shared block over and over from its own
// thread. Every counter value it ever stores encodes the session, the counter
// and the generation that wrote it, so any value read back from the provider
// can be traced to one write of this writer.
//
// Sessions 0..kSteadySessions-1 sit in the slots of the same number and are
// always active, so their ordinals never move. The sessions above them come
// and go as the generations pass.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "tests/common/router_fixture.h"
#include "tools/wmihost/session_class.h"

class GenerationWriter {
 public:
  static constexpr int kSteadySessions = 12;
  static constexpr int kComingAndGoing = 6;
  static constexpr int kSessions = kSteadySessions + kComingAndGoing;
  static constexpr uint32_t kLastGeneration = (1u << 23) - 1;

  explicit GenerationWriter(RouterWriter& router) : router_(router) {}
  ~GenerationWriter() { Stop(); }
  GenerationWriter(const GenerationWriter&) = delete;
  GenerationWriter& operator=(const GenerationWriter&) = delete;

  // Writes the next generation once, from the calling thread.
  void WriteNext();
  // Writes generation after generation on a thread of its own until Stop.
  void Start();
  void Stop();
  uint32_t Generation() const { return generation_.load(); }

  static std::wstring SessionName(int session);
  static bool ActiveAt(int session, uint32_t generation);
  static uint32_t Encode(int session, int counter, uint32_t generation);

  // Empty when the name and every counter of `values` are ones this writer
  // wrote; otherwise what is wrong with them.
  std::string Check(const wmihost::SessionValues& values) const;

 private:
  void Write(uint32_t generation);

  RouterWriter& router_;
  std::atomic<uint32_t> generation_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
