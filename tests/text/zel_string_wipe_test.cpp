// Every array the library frees while a check is on must be all zeros: the
// test executable's own array allocator records each block's size so that
// delete[] can look at the whole block.

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "support/text/zel_string.h"

namespace {

std::atomic<bool> g_checkFrees{false};
std::atomic<int> g_checkedFrees{0};
std::atomic<int> g_dirtyFrees{0};
constexpr size_t kHeader = alignof(std::max_align_t) > sizeof(size_t) ? alignof(std::max_align_t) : sizeof(size_t);

}  // namespace

void* operator new[](size_t size) {
  char* block = static_cast<char*>(std::malloc(size + kHeader));
  if (block == nullptr) throw std::bad_alloc();
  *reinterpret_cast<size_t*>(block) = size;
  return block + kHeader;
}

void operator delete[](void* pointer) noexcept {
  if (pointer == nullptr) return;
  char* block = static_cast<char*>(pointer) - kHeader;
  if (g_checkFrees) {
    const size_t size = *reinterpret_cast<size_t*>(block);
    const unsigned char* bytes = static_cast<const unsigned char*>(pointer);
    bool clean = true;
    for (size_t i = 0; i < size; ++i) clean = clean && bytes[i] == 0;
    ++g_checkedFrees;
    if (!clean) ++g_dirtyFrees;
  }
  std::free(block);
}

void operator delete[](void* pointer, size_t) noexcept { operator delete[](pointer); }

TEST(ZELStringWipe, EveryOwnedAndScratchBufferIsZeroedBeforeItIsFreed) {
  g_checkFrees = true;
  {
    ZELString text(L"  secret \x00E9\x20AC\x4E2D  ");
    text.GetNarrow();
    text.GetWindows1252();
    text.GetUtf8();
    text.Strip(ZELString::kStripLeading | ZELString::kStripTrailing);
    text.GetUtf8();
    text.Append(L" more");
    text.AppendFormat(L"%ls %d", L"formatted", 7);
    text.AppendFormat("%s", "narrow formatted");
    ZELString copy(text);
    copy = L"replaced";
    text.SetUtf8("\xC3\xA9t\xC3\xA9", -1);
    text.SetUtf8("\x41\xC3\x41", -1);
    text.Assign("password", 8, 1252u);
    text.Assign("\xC0\xE0", 2, 1251u);
    text.Assign("abc", 3, 12345u);
    text = "narrow text";
  }
  g_checkFrees = false;
  EXPECT_GT(g_checkedFrees, 15);
  EXPECT_EQ(0, g_dirtyFrees) << "of " << g_checkedFrees << " freed arrays";
}
