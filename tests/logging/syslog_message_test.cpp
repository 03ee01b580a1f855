#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/logging/syslog_message.h"

// Under a UTF-8 ANSI code page 509 characters can take three bytes each, more
// than a message may: it is cut after the last whole character that fits.
// Expected sizes follow from UTF-8's lengths (2 bytes for U+00E9, 3 for
// U+20AC, 4 for U+1F600 as a surrogate pair).
TEST(SyslogMessageCut, KeepsTheWholeCharactersThatFitTheBytes) {
  const std::wstring grin = L"\U0001F600";
  const struct {
    std::wstring text;
    size_t maxBytes;
    size_t keptUnits;
  } cases[] = {
      {std::wstring(509, L'\u20AC'), 1022, 340},
      {L"ab" + std::wstring(600, L'\u00E9'), 1022, 512},
      {L"abc" + std::wstring(600, L'\u00E9'), 1022, 512},
      {[&] {
         std::wstring text;
         for (int i = 0; i < 300; ++i) text += grin;
         return text;
       }(),
       1022, 510},
      {L"abc" + grin, 6, 3},
      {L"abc" + grin, 7, 5},
      {L"short", 1022, 5},
  };
  for (const auto& c : cases) {
    std::wstring text = c.text;
    CutToEncodedBytes(text, c.maxBytes, CP_UTF8);
    EXPECT_EQ(c.keptUnits, text.size()) << c.maxBytes;
    EXPECT_EQ(c.text.substr(0, c.keptUnits), text);
    // What is left converts without a broken character.
    const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    EXPECT_TRUE(text.empty() || bytes > 0);
    EXPECT_GE(c.maxBytes, static_cast<size_t>(bytes));
  }
}
