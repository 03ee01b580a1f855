#include "tests/threads/stack_test_support.h"

#include <cstdio>
#include <filesystem>

#include "tests/common/recording_sink.h"

std::vector<std::string> NarrowTexts(const RecordingSink& sink) {
  std::vector<std::string> texts;
  for (const auto& text : sink.texts()) texts.emplace_back(text.begin(), text.end());
  return texts;
}

GuardedPage::GuardedPage()
    : base_(static_cast<unsigned char*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE, PAGE_NOACCESS))) {
  VirtualAlloc(base_, 4096, MEM_COMMIT, PAGE_READWRITE);
}

GuardedPage::~GuardedPage() { VirtualFree(base_, 0, MEM_RELEASE); }

size_t FakeStack::Index(int frame, int index) const {
  // Frames start on a 16-byte boundary, as real ones do.
  const size_t skew = (reinterpret_cast<uintptr_t>(words_.data()) % 16) / 8;
  return skew + static_cast<size_t>(frame) * 8 + static_cast<size_t>(index);
}

uint64_t FakeStack::FrameAddress(int frame) const { return reinterpret_cast<uintptr_t>(&words_[Index(frame, 0)]); }

void FakeStack::LinkTo(int from, uint64_t next, uint64_t returnAddress) {
  words_[Index(from, 0)] = next;
  words_[Index(from, 1)] = returnAddress;
  for (int k = 2; k < 6; ++k) words_[Index(from, k)] = 0xA000 + from * 16 + k;
}

std::string CapturedContext::FileName() const {
  const size_t cut = file.find_last_of("\\/");
  return cut == std::string::npos ? file : file.substr(cut + 1);
}

std::string CapturedContext::PaddedLine() const {
  char text[16];
  std::snprintf(text, sizeof(text), "%04d", line);
  return text;
}

std::string CapturedContext::ModuleName() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::filesystem::path(path).stem().string();
}

STACK_TEST_NOINLINE CapturedContext CaptureHere() {
  CapturedContext captured{};
  captured.file = __FILE__;
  // One line, so that the address after the call and __LINE__ agree.
  // clang-format off
  RtlCaptureContext(&captured.context); captured.line = __LINE__;
  // clang-format on
  return captured;
}

namespace {
DWORD WINAPI BlockInWait(void* release) {
  WaitForSingleObject(static_cast<HANDLE>(release), INFINITE);
  return 0;
}
}  // namespace

WaitingThread::WaitingThread()
    : release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      thread_(CreateThread(nullptr, 0, BlockInWait, release_, 0, nullptr)) {
  // Let it reach its wait.
  Sleep(50);
}

WaitingThread::~WaitingThread() {
  Finish();
  CloseHandle(thread_);
  CloseHandle(release_);
}

bool WaitingThread::Finish() {
  SetEvent(release_);
  return WaitForSingleObject(thread_, 5000) == WAIT_OBJECT_0;
}
