// Encodings checked against references outside the code: the published
// Windows-1252 table (as Python's cp1252 codec gives it, unassigned bytes
// replaced) and the UTF-8/UTF-16 forms of the Unicode Standard's examples (as
// Python's codecs give them; lone surrogates with "surrogatepass").

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/text/utf_convert.h"
#include "support/text/zel_string.h"

namespace {

constexpr wchar_t kCp1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

wchar_t Cp1252Reference(int byte) { return byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : wchar_t(byte); }

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) bytes.push_back(static_cast<char>(value));
  return bytes;
}

}  // namespace

TEST(Windows1252Table, DecodesEveryByteAndEncodesBack) {
  std::string all;
  for (int byte = 1; byte < 256; ++byte) all.push_back(static_cast<char>(byte));
  ZELString text;
  text.SetNarrow(all.c_str(), static_cast<int>(all.size()), true);
  ASSERT_EQ(255, text.Length());
  for (int byte = 1; byte < 256; ++byte) {
    EXPECT_EQ(Cp1252Reference(byte), *text.At(byte - 1)) << "byte " << byte;
  }
  // Back through the table: the unassigned bytes all read as U+FFFD, which
  // encodes as the first of them.
  std::string expected = all;
  for (int unassigned : {0x8D, 0x8F, 0x90, 0x9D}) expected[unassigned - 1] = static_cast<char>(0x81);
  EXPECT_EQ(expected, text.GetWindows1252());
  EXPECT_EQ(255, text.GetWindows1252Length());
}

TEST(Windows1252Table, CharactersOutsideTheTableBecomeQuestionMarks) {
  const ZELString text(L"\x20AC\x4E2D\x0100\x00FF\x0080");
  EXPECT_EQ(Bytes({0x80, '?', '?', 0xFF, 0x80}), text.GetWindows1252());
  EXPECT_TRUE(text.HasNonWindows1252Characters());
  EXPECT_FALSE(ZELString(L"\x0080\x00FF\x20AC\x0178").HasNonWindows1252Characters());
  EXPECT_TRUE(ZELString(L"a\x0100").HasNonWindows1252Characters());
  EXPECT_FALSE(ZELString().HasNonWindows1252Characters());
}

TEST(Utf8, EncodesAndDecodesTheStandardsExamples) {
  struct Vector {
    std::wstring utf16;
    std::string utf8;
  };
  const std::vector<Vector> vectors = {
      {L"A\x2262\x0391.", Bytes({0x41, 0xE2, 0x89, 0xA2, 0xCE, 0x91, 0x2E})},
      {L"\xD55C\xAD6D\xC5B4", Bytes({0xED, 0x95, 0x9C, 0xEA, 0xB5, 0xAD, 0xEC, 0x96, 0xB4})},
      {L"\x65E5\x672C\x8A9E", Bytes({0xE6, 0x97, 0xA5, 0xE6, 0x9C, 0xAC, 0xE8, 0xAA, 0x9E})},
      {L"\xD84C\xDFB4", Bytes({0xF0, 0xA3, 0x8E, 0xB4})},
      {L"\xD800\xDC00", Bytes({0xF0, 0x90, 0x80, 0x80})},
      {L"\xDBFF\xDFFF", Bytes({0xF4, 0x8F, 0xBF, 0xBF})},
      {L"\x00E9\x07FF\x0800\xFFFF", Bytes({0xC3, 0xA9, 0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF})},
  };
  for (const Vector& vector : vectors) {
    const ZELString wide(vector.utf16.c_str());
    EXPECT_EQ(vector.utf8, wide.GetUtf8());
    EXPECT_EQ(static_cast<int>(vector.utf8.size()), wide.GetUtf8Length());
    ZELString decoded;
    ASSERT_NE(nullptr, decoded.SetUtf8(vector.utf8.c_str(), static_cast<int>(vector.utf8.size())));
    EXPECT_EQ(vector.utf16, decoded.GetWide());
  }
}

TEST(Utf8, LenientEncodingPassesUnpairedSurrogatesAndDropsATrailingHighOne) {
  EXPECT_EQ(Bytes({'a', 0xED, 0xA0, 0x80, 'b'}), ZELString(L"a\xD800" L"b").GetUtf8());
  EXPECT_EQ(Bytes({0xED, 0xB0, 0x80, 'x'}), ZELString(L"\xDC00x").GetUtf8());
  EXPECT_EQ("ab", std::string(ZELString(L"ab\xD800").GetUtf8()));

  const wchar_t lone[] = L"a\xDC00";
  const wchar_t* source = lone;
  char out[8] = {};
  char* target = out;
  EXPECT_EQ(zel::ConversionResult::kSourceIllegal,
            zel::ConvertUtf16ToUtf8(&source, lone + 2, &target, out + 8, zel::ConversionMode::kStrict));
  EXPECT_EQ(lone + 1, source) << "strict mode stops at the unpaired surrogate";
  EXPECT_EQ(out + 1, target);
}

TEST(Utf8, DecodingStopsAtTruncatedAndRejectsIllegalSequences) {
  struct Case {
    std::string bytes;
    const wchar_t* expected;  // null: decoding fails
  };
  const std::vector<Case> cases = {
      {Bytes({0xC3, 0xA9}), L"\x00E9"},
      {Bytes({0x41, 0xC3}), L"A"},                    // cut two-byte form
      {Bytes({0x41, 0xE2, 0x89}), L"A"},              // cut three-byte form
      {Bytes({0x41, 0xF0, 0xA3, 0x8E}), L"A"},        // cut four-byte form
      {Bytes({0x41, 0xFF}), L"A"},                    // announces five more bytes
      {Bytes({0x41, 0xC3, 0x41}), nullptr},           // lead byte without continuation
      {Bytes({0x41, 0x80}), nullptr},                 // stray continuation byte
      {Bytes({0xC0, 0x80}), nullptr},                 // over-long NUL
      {Bytes({0xE0, 0x80, 0x80}), nullptr},           // over-long three-byte form
      {Bytes({0xED, 0xA0, 0x80}), nullptr},           // encoded surrogate
      {Bytes({0xF4, 0x90, 0x80, 0x80}), nullptr},     // above U+10FFFF
      {Bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), nullptr},  // five-byte form
  };
  for (const Case& c : cases) {
    ZELString text(L"previous");
    const wchar_t* result = text.SetUtf8(c.bytes.c_str(), static_cast<int>(c.bytes.size()));
    if (c.expected == nullptr) {
      EXPECT_EQ(nullptr, result) << testing::PrintToString(c.bytes);
      EXPECT_FALSE(text.HasText());
    } else {
      ASSERT_NE(nullptr, result) << testing::PrintToString(c.bytes);
      EXPECT_STREQ(c.expected, result);
    }
  }
  ZELString text(L"previous");
  EXPECT_EQ(nullptr, text.SetUtf8(nullptr, 5));
  EXPECT_EQ(nullptr, text.SetUtf8("", -1));
  EXPECT_STREQ(L"\x00E9t\x00E9", text.SetUtf8("\xC3\xA9t\xC3\xA9", -1));
}
