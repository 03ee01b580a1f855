#include <fstream>
#include <locale>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/logging/stream_facets.h"
#include "tests/fs/scratch_folder.h"

namespace {

struct InResult {
  std::codecvt_base::result code;
  size_t consumed;
  std::wstring units;
};

InResult In(const StreamCodeCvtFacet& facet, const std::string& bytes, size_t room) {
  std::mbstate_t state{};
  std::wstring units(room, L'\0');
  const char* fromNext = nullptr;
  wchar_t* toNext = nullptr;
  const auto code = facet.in(state, bytes.data(), bytes.data() + bytes.size(), fromNext, &units[0],
                             &units[0] + room, toNext);
  units.resize(static_cast<size_t>(toNext - units.data()));
  return {code, static_cast<size_t>(fromNext - bytes.data()), units};
}

std::string Out(const StreamCodeCvtFacet& facet, const std::wstring& units, std::codecvt_base::result* code,
                size_t room = 64) {
  std::mbstate_t state{};
  std::string bytes(room, '\0');
  const wchar_t* fromNext = nullptr;
  char* toNext = nullptr;
  *code = facet.out(state, units.data(), units.data() + units.size(), fromNext, &bytes[0], &bytes[0] + room, toNext);
  bytes.resize(static_cast<size_t>(toNext - bytes.data()));
  return bytes;
}

std::string PlatformUtf8(const std::wstring& text) {
  std::string bytes(text.size() * 4, '\0');
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0],
                                    static_cast<int>(bytes.size()), nullptr, nullptr);
  bytes.resize(static_cast<size_t>(n));
  return bytes;
}

}  // namespace

TEST(StreamFacetsTest, Utf16LittleEndianUnits) {
  const UTF16LEStreamCodeCvtFacet le;
  InResult r = In(le, std::string("\x41\x00\xE9\x00\x7A", 5), 10);
  EXPECT_EQ(std::codecvt_base::ok, r.code);
  EXPECT_EQ(L"A\u00E9", r.units);
  EXPECT_EQ(4u, r.consumed);
  r = In(le, "\x41", 10);
  EXPECT_EQ(std::codecvt_base::partial, r.code);
  EXPECT_EQ(0u, r.consumed);
  std::mbstate_t state{};
  const char abc[] = "abc";
  EXPECT_EQ(1, le.length(state, abc, abc + 3, 10));

  std::codecvt_base::result code;
  EXPECT_EQ(std::string("\xE9\x00", 2), Out(le, L"\u00E9", &code));
  // Room for one unit only: ok with what fitted.
  EXPECT_EQ(std::string("\xFF\xFE"), Out(le, L"\uFEFFx", &code, 3));
  EXPECT_EQ(std::codecvt_base::ok, code);
  EXPECT_EQ(2, le.encoding());
  EXPECT_EQ(2, le.max_length());
}

TEST(StreamFacetsTest, Utf8WritesWhatThePlatformWritesAndReadsItBack) {
  const UTF8StreamCodeCvtFacet utf8;
  const std::wstring samples[] = {L"plain ASCII", L"\u00E9t\u00E9 \u20AC \uFEFF", L"\U0001F600 pair",
                                  std::wstring(1, L'\x7FF') + L"\x800\xFFFF"};
  for (const std::wstring& text : samples) {
    std::codecvt_base::result code;
    const std::string bytes = Out(utf8, text, &code);
    EXPECT_EQ(std::codecvt_base::ok, code);
    EXPECT_EQ(PlatformUtf8(text), bytes);
    const InResult back = In(utf8, bytes, 64);
    EXPECT_EQ(std::codecvt_base::ok, back.code);
    EXPECT_EQ(text, back.units);
  }
  EXPECT_EQ(0, utf8.encoding());
  EXPECT_EQ(4, utf8.max_length());
}

TEST(StreamFacetsTest, Utf8LenientSurrogatesAndMalformedInput) {
  const UTF8StreamCodeCvtFacet utf8;
  std::codecvt_base::result code;
  // A lone low surrogate is written as three bytes and read back unchanged.
  const std::string lone = Out(utf8, std::wstring(1, wchar_t(0xDC00)), &code);
  EXPECT_EQ("\xED\xB0\x80", lone);
  EXPECT_EQ(std::wstring(1, wchar_t(0xDC00)), In(utf8, lone, 4).units);
  // No room for the whole sequence: partial, stopped before it.
  EXPECT_EQ("a", Out(utf8, L"a\u20AC", &code, 3));
  EXPECT_EQ(std::codecvt_base::partial, code);

  const struct {
    const char* bytes;
    std::codecvt_base::result code;
    size_t consumed;
  } cases[] = {
      {"a\xC3", std::codecvt_base::partial, 1},  // cut short at the end
      {"\xC3\x28", std::codecvt_base::error, 0},  // no continuation byte
      {"\xC0\x80", std::codecvt_base::error, 0},  // over-long lead
      {"\xE0\x9F\xBF", std::codecvt_base::error, 0},
      {"\xF4\x90\x80\x80", std::codecvt_base::error, 0},  // above U+10FFFF
      {"\xF5\x80\x80\x80", std::codecvt_base::error, 0},
      {"x\x80", std::codecvt_base::error, 1},
  };
  for (const auto& c : cases) {
    const InResult r = In(utf8, c.bytes, 8);
    EXPECT_EQ(c.code, r.code) << c.bytes;
    EXPECT_EQ(c.consumed, r.consumed) << c.bytes;
  }
  // A pair without room for both units stops before it.
  const InResult tight = In(utf8, "a\xF0\x9F\x98\x80", 2);
  EXPECT_EQ(std::codecvt_base::partial, tight.code);
  EXPECT_EQ(L"a", tight.units);

  std::mbstate_t state{};
  const char* threeTwoByte = "\xC3\xA9\xC3\xA9\xC3\xA9";
  EXPECT_EQ(3, utf8.length(state, threeTwoByte, threeTwoByte + 6, 10));
  const char brokenPair[] = "\xC3\x28";
  EXPECT_EQ(0, utf8.length(state, brokenPair, brokenPair + 2, 10));
}

class StreamFacetFileTest : public ::testing::Test, protected ScratchFolder {};

// The facets installed in a real wide file stream give the expected bytes
// and read the start of the file back.
TEST_F(StreamFacetFileTest, FileStreamWritesAndReadsThroughEachFacet) {
  const std::wstring text = L"\uFEFFUTF \u00E9\u20AC\U0001F600\r\n";
  const struct {
    StreamCodeCvtFacet* facet;
    std::string bytes;
  } cases[] = {
      {new UTF8StreamCodeCvtFacet, PlatformUtf8(text)},
      {new UTF16LEStreamCodeCvtFacet,
       std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t))},
  };
  for (const auto& c : cases) {
    const std::locale withFacet(std::locale::classic(), c.facet);
    {
      std::wfstream stream;
      stream.imbue(withFacet);
      stream.open(Path(L"f.txt").c_str(), std::ios::out | std::ios::binary | std::ios::trunc);
      ASSERT_TRUE(stream.is_open());
      stream << text;
      stream.flush();
      EXPECT_TRUE(stream.good());
    }
    EXPECT_EQ(c.bytes, Read(L"f.txt"));
    std::wfstream stream;
    stream.imbue(withFacet);
    stream.open(Path(L"f.txt").c_str(), std::ios::in | std::ios::binary);
    wchar_t head[6] = {};
    stream.read(head, 5);
    EXPECT_EQ(std::wstring(text, 0, 5), std::wstring(head));
  }
}
