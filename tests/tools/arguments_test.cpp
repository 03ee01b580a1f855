#include "tools/common/arguments.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(ArgumentListTest, TakesOptionsAndTheirValuesInOrder) {
  const wchar_t* argv[] = {L"tool", L"--count", L"12", L"--rate", L"0.25", L"--name", L"x y", L"--flag"};
  tools::ArgumentList args(8, argv);
  int64_t count = 0;
  double rate = 0;
  std::wstring name;
  EXPECT_EQ(args.Take(), L"--count");
  EXPECT_TRUE(args.TakeInteger(L"--count", 0, 100, &count));
  EXPECT_EQ(args.Take(), L"--rate");
  EXPECT_TRUE(args.TakeNumber(L"--rate", 0.1, 10, &rate));
  EXPECT_EQ(args.Take(), L"--name");
  EXPECT_TRUE(args.TakeText(L"--name", &name));
  EXPECT_EQ(args.Take(), L"--flag");
  EXPECT_FALSE(args.More());
  EXPECT_EQ(count, 12);
  EXPECT_EQ(rate, 0.25);
  EXPECT_EQ(name, L"x y");
  EXPECT_TRUE(args.Error().empty());
}

TEST(ArgumentListTest, RejectsValuesThatAreMissingMalformedOrOutOfRange) {
  struct Case {
    const wchar_t* value;
    bool integer;
  };
  const Case cases[] = {{L"12x", true}, {L"", true},     {L"101", true},  {L"-1", true},
                        {L"99999999999999999999", true}, {L"nan", false}, {L"0.01", false}, {L"1e999", false}};
  for (const Case& c : cases) {
    const wchar_t* argv[] = {L"tool", c.value};
    tools::ArgumentList args(2, argv);
    int64_t integer = 7;
    double number = 7;
    const bool ok = c.integer ? args.TakeInteger(L"--n", 0, 100, &integer) : args.TakeNumber(L"--n", 0.1, 10, &number);
    EXPECT_FALSE(ok) << c.value;
    EXPECT_EQ(integer, 7) << c.value;
    EXPECT_EQ(number, 7) << c.value;
    EXPECT_EQ(args.Error().rfind(L"--n needs a", 0), 0u) << c.value;
  }

  const wchar_t* argv[] = {L"tool"};
  tools::ArgumentList none(1, argv);
  std::wstring text;
  EXPECT_FALSE(none.TakeText(L"--module", &text));
  EXPECT_EQ(none.Error(), L"--module needs a value");
}

TEST(ParseCommandLineTest, HandsOverEveryOptionAndStopsAtTheFirstFailure) {
  const wchar_t* argv[] = {L"tool", L"--count", L"3", L"--bogus", L"--count", L"4"};
  std::vector<std::wstring> seen;
  int64_t count = 0;
  const auto handle = [&](tools::ArgumentList& args, const std::wstring& option) {
    seen.push_back(option);
    if (option == L"--count") return args.TakeInteger(option, 0, 10, &count);
    return args.RejectUnknown(option);
  };
  EXPECT_FALSE(tools::ParseCommandLine(6, argv, "tool", "usage\n", handle));
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"--count", L"--bogus"}));
  EXPECT_EQ(count, 3);

  seen.clear();
  EXPECT_TRUE(tools::ParseCommandLine(3, argv, "tool", "usage\n", handle));
  EXPECT_EQ(seen, std::vector<std::wstring>{L"--count"});
}

}  // namespace
