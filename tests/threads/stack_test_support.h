#pragma once
// Stacks, pages and threads for the stack-dump tests: a fake frame chain, a
// page followed by one that cannot be read, contexts captured at known source
// lines, a thread that waits until it is told to end; and the logged texts.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#ifdef _MSC_VER
#define STACK_TEST_NOINLINE __declspec(noinline)
#else
#define STACK_TEST_NOINLINE __attribute__((noinline))
#endif

class RecordingSink;

// The texts the sink kept, narrowed.
std::vector<std::string> NarrowTexts(const RecordingSink& sink);

class GuardedPage {
 public:
  GuardedPage();
  ~GuardedPage();
  GuardedPage(const GuardedPage&) = delete;
  GuardedPage& operator=(const GuardedPage&) = delete;
  // The first byte of the reserved, uncommitted page after the readable one.
  unsigned char* ReadableEnd() const { return base_ + 4096; }

 private:
  unsigned char* base_;
};

// Frames of eight words (saved frame pointer, return address, four
// parameters, padding) in rising order.
class FakeStack {
 public:
  explicit FakeStack(int frames = 8) : words_(static_cast<size_t>(frames) * 8 + 2) {}
  uint64_t FrameAddress(int frame) const;
  uint64_t Word(int frame, int index) const { return words_[Index(frame, index)]; }
  // Frame `from` links to frame `to` with a return address and parameters.
  void Link(int from, int to, uint64_t returnAddress) { LinkTo(from, FrameAddress(to), returnAddress); }
  void LinkTo(int from, uint64_t next, uint64_t returnAddress);

 private:
  size_t Index(int frame, int index) const;
  std::vector<uint64_t> words_;
};

struct CapturedContext {
  CONTEXT context;
  std::string file;
  int line;
  // The file name without its folder, the line padded to four digits.
  std::string FileName() const;
  std::string PaddedLine() const;
  // The executable's name without folder and extension.
  static std::string ModuleName();
};

// Each captures its own context, at a line it records.
CapturedContext CaptureHere();
CapturedContext CaptureInLongNamedFile();

class WaitingThread {
 public:
  WaitingThread();
  ~WaitingThread();
  WaitingThread(const WaitingThread&) = delete;
  WaitingThread& operator=(const WaitingThread&) = delete;
  HANDLE Handle() const { return thread_; }
  // Tells the thread to end; true when it did within five seconds.
  bool Finish();

 private:
  HANDLE release_;
  HANDLE thread_;
};
