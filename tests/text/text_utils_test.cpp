#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fs/text_utils.h"

using Pieces = std::vector<std::string>;
using WidePieces = std::vector<std::wstring>;

TEST(TextUtils, SplitKeepsOnlyNonEmptyPieces) {
  EXPECT_EQ((Pieces{"a", "bc", "d"}), fts::Split(";a;;bc;d;", ';'));
  EXPECT_EQ((Pieces{"whole"}), fts::Split("whole", ';'));
  EXPECT_EQ(Pieces{}, fts::Split("", ';'));
  EXPECT_EQ(Pieces{}, fts::Split(";;;", ';'));
  EXPECT_EQ((WidePieces{L"C:", L"dir", L"file"}), fts::Split(std::wstring(L"C:\\dir\\\\file\\"), L'\\'));
}

TEST(TextUtils, StripRemovesTheSetAndEveryUnprintableCharacter) {
  EXPECT_EQ(L"inner text", fts::StripChars(L" \t inner text \r\n", L" "));
  EXPECT_EQ(L"inner text \r\n", fts::StripLeadingChars(L" \t inner text \r\n", L" "));
  EXPECT_EQ(L" \t inner text", fts::StripTrailingChars(L" \t inner text \r\n", L" "));
  EXPECT_EQ(L"b", fts::StripChars(L"xxbxx", L"x"));
  EXPECT_EQ(L"", fts::StripChars(L"x\x01x", L"x"));
  EXPECT_EQ(L" \t kept \n", fts::StripChars(L" \t kept \n", L"")) << "an empty set strips nothing";
  EXPECT_EQ(L" kept ", fts::StripChars(L" kept ", nullptr));
  EXPECT_EQ(L"", fts::StripChars(L"", L" "));
}

TEST(TextUtils, JoinStrippedSkipsEmptyItemsAndTrailingSeparators) {
  EXPECT_EQ(L"a,b", fts::JoinStripped({L"a", L"  ", L"b", L""}, L','));
  EXPECT_EQ(L"a,b", fts::JoinStripped({L"\ta\r\n", L"b\b"}, L','));
  EXPECT_EQ(L"", fts::JoinStripped({L"a", L"b"}, L'\0'));
  EXPECT_EQ(L"", fts::JoinStripped({}, L','));
  EXPECT_EQ(L"a,", fts::JoinStripped({L"a,,"}, L',')) << "only one trailing separator goes";
}

TEST(TextUtils, SplitAtBarGivesTheFirstPieceAndTheLastTail) {
  const struct {
    const wchar_t* text;
    const wchar_t* head;
    const wchar_t* tail;
  } cases[] = {
      {L"a|b|c", L"a", L"c"}, {L"|x|y", L"x", L"y"}, {L"plain", L"", L"plain"},
      {L"a|", L"a", L""},     {L"||", L"", L""},     {L"", L"", L""},
  };
  for (const auto& c : cases) {
    std::wstring tail = L"old";
    std::wstring head = L"old";
    fts::SplitAtBar(c.text, tail, head);
    EXPECT_EQ(c.head, head) << c.text;
    EXPECT_EQ(c.tail, tail) << c.text;
  }
}

TEST(TextUtils, MatchPatternHonoursOnlyOuterStars) {
  const struct {
    const wchar_t* text;
    const wchar_t* pattern;
    bool matches;
  } cases[] = {
      {L"TRACE.LOG", L"*.log", true}, {L"TRACE.LOG", L"trace*", true}, {L"TRACE.LOG", L"*ACE.*", true},
      {L"TRACE.LOG", L"t*g", false},  {L"t*g", L"T*G", true},          {L"aab", L"*ab*", true},
      {L"TRACE.LOG", L"trace.log", true}, {L"TRACE.LOG", L"trace", false}, {L"ab", L"*abc", false},
      {L"x", L"*", true},             {L"x", L"", true},               {L"x", L"**", true},
      {L"", L"*", false},             {L"x", nullptr, false},          {nullptr, L"*", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.matches, fts::MatchPattern(c.text, c.pattern))
        << (c.text ? c.text : L"(null)") << " ~ " << (c.pattern ? c.pattern : L"(null)");
  }
}

TEST(TextUtils, VersionsParseAndCompareNumerically) {
  const struct {
    const char* text;
    uint32_t parts[4];
  } cases[] = {
      {"6.0.12.34", {6, 0, 12, 34}}, {"5.10", {5, 10, 0, 0}},     {"1.10000.3", {1, 0, 3, 0}},
      {"v1.2", {0, 0, 0, 0}},        {"", {0, 0, 0, 0}},          {"2.-7.x.4", {2, 7, 0, 4}},
      {"9999.1.2.3.4", {9999, 1, 2, 3}},
  };
  for (const auto& c : cases) {
    fts::VersionNumber version{9, 9, 9, 9};
    fts::ParseVersion(c.text, &version);
    EXPECT_EQ(c.parts[0], version.major) << c.text;
    EXPECT_EQ(c.parts[1], version.minor) << c.text;
    EXPECT_EQ(c.parts[2], version.build) << c.text;
    EXPECT_EQ(c.parts[3], version.revision) << c.text;
  }
  fts::VersionNumber version{9, 9, 9, 9};
  fts::ParseVersion(nullptr, &version);
  EXPECT_EQ(0u, version.major);

  const auto compare = [](const char* first, const char* second) {
    fts::VersionNumber a, b;
    fts::ParseVersion(first, &a);
    fts::ParseVersion(second, &b);
    return fts::CompareVersion(a, b);
  };
  EXPECT_EQ(-1, compare("5.2", "5.10"));
  EXPECT_EQ(1, compare("5.10", "5.2"));
  EXPECT_EQ(0, compare("1.2.3.4", "1.2.3.4"));
  EXPECT_EQ(1, compare("2.0", "1.9.9.9"));
  EXPECT_EQ(-1, compare("1.2.3.4", "1.2.3.5"));
  EXPECT_EQ(1, compare("1.2.4", "1.2.3.9"));
}

TEST(TextUtils, SplitNumbersTakesTheDigitsOfEachField) {
  int64_t values[8];
  EXPECT_EQ(3u, fts::SplitNumbers("10;x;-7;;42", values, 8, ';'));
  EXPECT_EQ(10, values[0]);
  EXPECT_EQ(7, values[1]);
  EXPECT_EQ(42, values[2]);
  EXPECT_EQ(0, values[7]) << "every slot is cleared";

  EXPECT_EQ(2u, fts::SplitNumbers("1;2;3", values, 2, '\0')) << "stops at capacity; zero means ';'";
  EXPECT_EQ(2, values[1]);
  EXPECT_EQ(2u, fts::SplitNumbers("a12b34,7", values, 8, ',')) << "the number ends at its first non-digit";
  EXPECT_EQ(12, values[0]);
  EXPECT_EQ(1u, fts::SplitNumbers("99999999999999999999999", values, 8, ','));
  EXPECT_EQ(INT64_MAX, values[0]);
  values[0] = 5;
  EXPECT_EQ(0u, fts::SplitNumbers("1,2", values, 8, '1'));
  EXPECT_EQ(0, values[0]);
  EXPECT_EQ(0u, fts::SplitNumbers(nullptr, values, 8, ';'));
  EXPECT_EQ(0u, fts::SplitNumbers("1", nullptr, 8, ';'));
  EXPECT_EQ(0u, fts::SplitNumbers("1", values, 0, ';'));
}

TEST(TextUtils, DescribeEndpointNamesServerDatabaseAndProvider) {
  EXPECT_EQ(L"db01-Stats-SQLOLEDB", fts::DescribeEndpoint(L"Provider=SQLOLEDB;Server=db01;Database=Stats"));
  EXPECT_EQ(L"db01-SQLOLEDB", fts::DescribeEndpoint(L"Server=db01;Provider=SQLOLEDB"));
  EXPECT_EQ(L"Reports-MSDASQL", fts::DescribeEndpoint(L"Provider=MSDASQL;DSN=Reports"));
  EXPECT_EQ(L"Unknown EndPoint", fts::DescribeEndpoint(L"Server=db01;Database=Stats"));
  EXPECT_EQ(L"Unknown EndPoint", fts::DescribeEndpoint(L"Provider=SQLOLEDB;Data Source=x"));
  EXPECT_EQ(L"Unknown EndPoint", fts::DescribeEndpoint(L"provider=SQLOLEDB;server=db01")) << "keys are case-sensitive";
}

TEST(TextUtils, ToTextRendersDecimals) {
  EXPECT_EQ("18446744073709551615", fts::ToText(UINT64_MAX));
  EXPECT_EQ(L"18446744073709551615", fts::ToText<wchar_t>(UINT64_MAX));
  EXPECT_EQ("4294967295", fts::ToText(4294967295ul));
  EXPECT_EQ("-2147483648", fts::ToText(INT32_MIN));
  EXPECT_EQ(L"-42", fts::ToText<wchar_t>(-42));
  EXPECT_EQ("3.1416", fts::ToText(3.14159265));
  EXPECT_EQ("-0.0012346", fts::ToText(-0.00123456));
  const std::string large = fts::ToText(123456789.0);
  EXPECT_EQ(0u, large.find("1.2346e+")) << large;
}
