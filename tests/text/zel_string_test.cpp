#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/text/zel_string.h"

namespace {

// The platform's own conversion, as the reference for the thread code page.
std::string PlatformNarrow(const wchar_t* text) {
  char buffer[256] = {};
  WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, buffer, sizeof(buffer), nullptr, nullptr);
  return buffer;
}

}  // namespace

TEST(ZELStringBuild, ConstructorsAndAssignmentsConvertTheirSource) {
  EXPECT_STREQ(L"\x20AC" L"5", ZELString("\x80" "5", true).GetWide());
  // Cyrillic in code page 1251 (Python's cp1251 codec gives these units).
  EXPECT_STREQ(L"\x0410\x0430\x044F", ZELString("\xC0\xE0\xFF", 3, 1251u).GetWide());
  EXPECT_STREQ(L"\x0410", ZELString("\xC0\xE0\xFF", 1, 1251u).GetWide()) << "exactly the given length";
  EXPECT_STREQ(L"\x00E9", ZELString("\xC3\xA9", -1, ZELString(L"UTF-8")).GetWide());
  EXPECT_FALSE(ZELString("abc", -1, ZELString(L"no-such-charset")).HasText());

  ZELString text(L"first");
  text = static_cast<const wchar_t*>(nullptr);
  EXPECT_FALSE(text.HasText());
  EXPECT_EQ(nullptr, text.GetWide());
  text = "narrow";
  EXPECT_STREQ(L"narrow", text.GetWide());

  ZELString source(L"deep");
  ZELString copy(source);
  ZELString assigned;
  assigned = source;
  source.Append(L" changed");
  EXPECT_STREQ(L"deep", copy.GetWide());
  EXPECT_STREQ(L"deep", assigned.GetWide());
  const ZELString& itself = assigned;
  assigned = itself;
  EXPECT_STREQ(L"deep", assigned.GetWide());
  assigned = assigned.GetWide() + 1;
  EXPECT_STREQ(L"eep", assigned.GetWide()) << "assigned from its own text";
}

TEST(ZELStringBuild, AssignTakesExactCountsAndFailsToEmpty) {
  ZELString text;
  text.Assign(L"abcdef", 3);
  EXPECT_STREQ(L"abc", text.GetWide());
  text.Assign(L"abcdef", 0);
  EXPECT_FALSE(text.HasText());
  EXPECT_EQ(4, text.Assign("x\x80yz", 4, true));
  EXPECT_STREQ(L"x\x20ACyz", text.GetWide());
  EXPECT_EQ(0, text.Assign("abc", 3, 12345u)) << "a code page the system lacks";
  EXPECT_FALSE(text.HasText());
  EXPECT_EQ(0, text.Assign(static_cast<const char*>(nullptr), 5, true));
  EXPECT_EQ(0, text.Assign("abc", 0, CP_UTF8));
  EXPECT_EQ(3, text.Assign("abc", -1, CP_UTF8));
}

TEST(ZELStringBuild, NarrowFormsAreCachedUntilTheTextChanges) {
  ZELString text(L"caf\x00E9 \x20AC \x4E2D");
  const char* utf8 = text.GetUtf8();
  EXPECT_EQ(utf8, text.GetUtf8()) << "built once";
  EXPECT_EQ(PlatformNarrow(text.GetWide()), text.GetNarrow());
  EXPECT_EQ(static_cast<int>(PlatformNarrow(text.GetWide()).size()), text.GetNarrowLength());
  EXPECT_STREQ("caf\xE9 \x80 ?", text.GetWindows1252());

  // Every kind of change must drop all three forms.
  const auto expectForms = [&](const wchar_t* wide, const char* windows1252) {
    EXPECT_STREQ(windows1252, text.GetWindows1252());
    EXPECT_EQ(PlatformNarrow(wide), text.GetNarrow());
    ZELString reference(wide);
    EXPECT_STREQ(reference.GetUtf8(), text.GetUtf8());
  };
  text.Append(L"!");
  expectForms(L"caf\x00E9 \x20AC \x4E2D!", "caf\xE9 \x80 ?!");
  text = L"  x ";
  expectForms(L"  x ", "  x ");
  text.Strip(ZELString::kStripLeading | ZELString::kStripTrailing);
  expectForms(L"x", "x");
  text.Format(L"%d", 42);
  expectForms(L"42", "42");
  text.SetUtf8("\xC3\xA9", -1);
  expectForms(L"\x00E9", "\xE9");
  text.Assign(L"\x00FF", 1);
  expectForms(L"\x00FF", "\xFF");

  const ZELString empty;
  EXPECT_EQ(nullptr, empty.GetNarrow());
  EXPECT_EQ(nullptr, empty.GetUtf8());
}

TEST(ZELStringFormat, CutsAtTheScratchBufferAndReportsIt) {
  ZELString text;
  EXPECT_EQ(6, text.Format(L"%ls-%03d", L"ab", 5));
  EXPECT_STREQ(L"ab-005", text.GetWide());
  const std::wstring longText(1500, L'x');
  EXPECT_LT(text.Format(L"%ls", longText.c_str()), 0);
  EXPECT_EQ(std::wstring(1023, L'x'), text.GetWide());

  EXPECT_EQ(5, text.Format("%s=%d", "ab", 42));
  EXPECT_STREQ(L"ab=42", text.GetWide());
  const std::string longNarrow(1500, 'y');
  EXPECT_LT(text.Format("%s", longNarrow.c_str()), 0);
  EXPECT_EQ(std::wstring(1023, L'y'), text.GetWide());

  EXPECT_LT(text.Format(static_cast<const wchar_t*>(nullptr)), 0);
  EXPECT_FALSE(text.HasText());

  text = L"n=";
  EXPECT_EQ(4, text.AppendFormat(L"%d", 10));
  EXPECT_EQ(7, text.AppendFormat("%c%s", ',', "ok"));
  EXPECT_STREQ(L"n=10,ok", text.GetWide());
}

TEST(ZELStringRead, AtGivesAZeroUnitOutsideTheText) {
  const ZELString text(L"ab");
  EXPECT_EQ(L'a', *text.At(0));
  EXPECT_EQ(L'b', *text.At(1));
  EXPECT_EQ(L'\0', *text.At(2));
  EXPECT_EQ(L'\0', *text.At(-1));
  EXPECT_EQ(L'\0', *ZELString().At(0));
}

TEST(ZELStringCompare, OrdersUnitsUnsignedWithNullFirst) {
  const ZELString empty;
  EXPECT_EQ(0, empty.Compare(static_cast<const wchar_t*>(nullptr)));
  EXPECT_EQ(-1, empty.Compare(L""));
  EXPECT_EQ(-1, empty.Compare("", true));
  EXPECT_EQ(1, ZELString(L"a").Compare(static_cast<const wchar_t*>(nullptr)));
  EXPECT_EQ(-1, ZELString(L"a").Compare(L"ab"));
  EXPECT_EQ(1, ZELString(L"\xFFFF").Compare(L"\x00E9")) << "units compare unsigned";
  EXPECT_EQ(-1, ZELString(L"B").Compare(L"a")) << "ordinal, not by letter case";
  EXPECT_EQ(0, ZELString(L"\x20AC").Compare("\x80", true));
  EXPECT_EQ(0, ZELString(L"x").Compare(ZELString(L"x")));

  EXPECT_TRUE(ZELString(L"abc") != L"abd");
  EXPECT_TRUE(ZELString(L"\x20AC") == "\x80" || !Windows1252Flag);
  EXPECT_TRUE(ZELString() < ZELString(L"a"));
  EXPECT_TRUE(ZELString(L"b") > ZELString(L"a"));
}

TEST(ZELStringChange, StripRemovesWhiteSpaceAtTheNamedEnds) {
  struct Case {
    const wchar_t* text;
    int flags;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L" \t a b \r\n", ZELString::kStripLeading, L"a b \r\n"},
      {L" \t a b \r\n", ZELString::kStripTrailing, L" \t a b"},
      {L" \t a b \r\n", ZELString::kStripLeading | ZELString::kStripTrailing, L"a b"},
      {L"   ", ZELString::kStripTrailing, L""},
      {L"   ", ZELString::kStripLeading, L""},
      {L"x", ZELString::kStripLeading | ZELString::kStripTrailing, L"x"},
  };
  for (const Case& c : cases) {
    ZELString text(c.text);
    EXPECT_TRUE(text.Strip(c.flags));
    EXPECT_EQ(std::wstring(c.expected), text.HasText() ? text.GetWide() : L"");
    EXPECT_EQ(static_cast<int>(wcslen(c.expected)), text.Length());
  }
  ZELString empty;
  EXPECT_FALSE(empty.Strip(ZELString::kStripLeading));
}

TEST(ZELStringChange, AppendIgnoresNullAndEmptySources) {
  ZELString text;
  text.Append(static_cast<const wchar_t*>(nullptr));
  text.Append(L"");
  text.Append(ZELString());
  EXPECT_FALSE(text.HasText());
  text.Append(L"ab");
  text.Append("\x80", true);
  text.Append(text);
  EXPECT_STREQ(L"ab\x20AC" L"ab\x20AC", text.GetWide());
  text.Append(static_cast<const char*>(nullptr));
  EXPECT_EQ(6, text.Length());
}
