#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/registry/expand_text.h"

namespace {

// Plays ExpandEnvironmentStringsA the way it behaves when the expansion grew
// after the sizing call (or a multi-byte text was estimated short): the sizing
// call reports `estimate`, and a buffer too small for `result` gets a partial
// text and the full size as the answer.
struct ShortEstimate {
  std::string result;
  DWORD estimate;
  int calls = 0;

  DWORD operator()(const char*, char* output, DWORD capacity) {
    ++calls;
    if (output == nullptr) return estimate;
    const DWORD needed = static_cast<DWORD>(result.size() + 1);
    const DWORD written = needed <= capacity ? needed : capacity;
    result.copy(output, written - 1);
    output[written - 1] = '\0';
    return needed;
  }
};

}  // namespace

TEST(ExpandInFull, GrowsPastAShortEstimateAndGivesUpOnFailures) {
  std::vector<char> expanded;
  ShortEstimate grown{"C:\\windows\\system32\\drivers", 8};
  ASSERT_TRUE(ExpandInFull("%DRIVERS%", &expanded, std::ref(grown)));
  EXPECT_STREQ("C:\\windows\\system32\\drivers", expanded.data());
  EXPECT_EQ(grown.calls, 3) << "sizing, the short attempt, the full one";

  ShortEstimate exact{"abc", 4};
  ASSERT_TRUE(ExpandInFull("%ABC%", &expanded, std::ref(exact)));
  EXPECT_STREQ("abc", expanded.data());
  EXPECT_EQ(exact.calls, 2);

  // A platform that fails, or whose answer keeps outgrowing the buffer, yields no text.
  EXPECT_FALSE(ExpandInFull("%X%", &expanded, [](const char*, char*, DWORD) -> DWORD { return 0; }));
  EXPECT_FALSE(ExpandInFull("%X%", &expanded,
                            [](const char*, char*, DWORD capacity) -> DWORD { return capacity * 2 + 1; }));
}
