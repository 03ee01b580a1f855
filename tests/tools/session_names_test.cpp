#include "tools/routersim/session_names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include <windows.h>

namespace {

using routersim::DecodeSessionName;
using routersim::EncodeSessionName;

TEST(SessionNamesTest, EscapesDecodeToUnitsAndEncodeBackAsAsciiWithoutSpaces) {
  struct Case {
    const wchar_t* written;
    std::wstring name;
    const char* reported;
  };
  const Case cases[] = {
      {L"session-01", L"session-01", "session-01"},
      {L"say \"hi\"", L"say \"hi\"", "say\\u0020\"hi\""},
      {L"C:\\\\dir\\\\", L"C:\\dir\\", "C:\\\\dir\\\\"},
      {L"a\\nb\\u0009\\u00e9\\uD800", std::wstring(L"a\nb\t\u00E9") + wchar_t(0xD800),
       "a\\u000Ab\\u0009\\u00E9\\uD800"},
      {L"\u65E5\U0001F600", L"\u65E5\U0001F600", "\\u65E5\\uD83D\\uDE00"},
  };
  for (const Case& c : cases) {
    std::wstring name, error;
    ASSERT_TRUE(DecodeSessionName(c.written, &name, &error)) << c.reported;
    EXPECT_EQ(name, c.name) << c.reported;
    EXPECT_EQ(EncodeSessionName(name), c.reported);
    std::wstring again;
    ASSERT_TRUE(DecodeSessionName(std::wstring(c.reported, c.reported + std::strlen(c.reported)), &again, &error));
    EXPECT_EQ(again, c.name) << c.reported;
  }
  for (const wchar_t* bad : {L"trailing\\", L"\\t", L"\\u12", L"\\u12G4"}) {
    std::wstring name, error;
    EXPECT_FALSE(DecodeSessionName(bad, &name, &error)) << bad;
    EXPECT_NE(error.find(L"\\uXXXX"), std::wstring::npos);
  }
}

class SessionNamesFileTest : public ::testing::Test {
 protected:
  bool Read(const std::string& text, std::vector<std::wstring>* names, std::wstring* error) {
    std::ofstream(path_.c_str(), std::ios::binary) << text;
    return routersim::ReadSessionNames(path_, 3, 4, names, error);
  }
  ~SessionNamesFileTest() override { DeleteFileW(path_.c_str()); }

  std::wstring path_ = L"fernwick-names-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
};

TEST_F(SessionNamesFileTest, LinesAreUtf8NamesForSlotsInOrderAndAnEmptyLineLeavesASlotFree) {
  std::vector<std::wstring> names;
  std::wstring error;
  ASSERT_TRUE(Read("\xEF\xBB\xBF\xC3\xA9t\xC3\xA9\r\n\nabcd\n", &names, &error)) << error;
  EXPECT_EQ(names, (std::vector<std::wstring>{L"\u00E9t\u00E9", L"", L"abcd"}));
}

TEST_F(SessionNamesFileTest, TooLongNamesTooManyLinesAndBadEscapesAreRejectedWithTheLine) {
  std::vector<std::wstring> names;
  std::wstring error;
  EXPECT_FALSE(Read("ok\nabcde\n", &names, &error));
  EXPECT_NE(error.find(L"line 2: a name has at most 4 UTF-16 units"), std::wstring::npos) << error;
  // Four units written as two characters and two escapes fit.
  EXPECT_TRUE(Read("\\u0041\\\\bc\n", &names, &error)) << error;
  EXPECT_FALSE(Read("a\nb\nc\nd\n", &names, &error));
  EXPECT_NE(error.find(L"more than 3 lines"), std::wstring::npos) << error;
  EXPECT_FALSE(Read("a\n\\x\n", &names, &error));
  EXPECT_NE(error.find(L"line 2:"), std::wstring::npos) << error;
  EXPECT_FALSE(routersim::ReadSessionNames(path_ + L".missing", 3, 4, &names, &error));
}

}  // namespace
