#include "tools/routerstat/samples.h"

#include <gtest/gtest.h>

namespace {

using routerstat::ComputeRows;
using routerstat::Sample;

const std::array<std::wstring, routerstat::kCounters> kNames = {L"A", L"B", L"C", L"D"};

Sample MakeSample(int number, double seconds, std::vector<routerstat::SessionSample> sessions) {
  Sample sample;
  sample.number = number;
  sample.seconds = seconds;
  sample.sessions = std::move(sessions);
  return sample;
}

TEST(ComputeRowsTest, RatesAreIncreasesPerSecondOfTheSameNamedSession) {
  const Sample first = MakeSample(1, 1.0, {{L"s1", {100, 200, 300, 400}}, {L"s2", {0, 0, 0, 0}}});
  // s2 now comes first: sessions are matched by name, not position.
  const Sample second = MakeSample(2, 3.0, {{L"s2", {10, 20, 30, 40}}, {L"s1", {100, 204, 310, 500}}});

  const auto rows = ComputeRows(&first, second);
  ASSERT_EQ(rows.size(), 2u);
  ASSERT_TRUE(rows[0].rates.has_value());
  EXPECT_EQ(*rows[0].rates, (routerstat::Rates{5, 10, 15, 20}));
  ASSERT_TRUE(rows[1].rates.has_value());
  EXPECT_EQ(*rows[1].rates, (routerstat::Rates{0, 2, 5, 50}));
  EXPECT_EQ(rows[1].counters, (routerstat::Counters{100, 204, 310, 500}));
}

TEST(ComputeRowsTest, ACounterThatWrapsCountsOnlyItsIncrease) {
  const Sample first = MakeSample(1, 0.0, {{L"s", {0xFFFFFFF0u, 0, 0, 0}}});
  const Sample second = MakeSample(2, 1.0, {{L"s", {0x10u, 0, 0, 0}}});
  const auto rows = ComputeRows(&first, second);
  ASSERT_TRUE(rows[0].rates.has_value());
  EXPECT_EQ((*rows[0].rates)[0], 32.0);
}

TEST(ComputeRowsTest, NoRatesWithoutAnEarlierSampleOfTheSession) {
  const Sample first = MakeSample(1, 1.0, {{L"old", {1, 1, 1, 1}}});
  const Sample second = MakeSample(2, 2.0, {{L"new", {5, 5, 5, 5}}});
  EXPECT_FALSE(ComputeRows(nullptr, first)[0].rates.has_value());
  EXPECT_FALSE(ComputeRows(&first, second)[0].rates.has_value());
  // Two samples at the same moment give no rate either, rather than infinity.
  EXPECT_FALSE(ComputeRows(&first, first)[0].rates.has_value());
}

TEST(SampleWriterTest, CsvHasOneHeaderAndARowPerSessionWithEmptyRatesFirst) {
  const auto writer = routerstat::MakeWriter(routerstat::Format::Csv, kNames);
  EXPECT_EQ(writer->Header(), "sample,seconds,Name,A,B,C,D,A/s,B/s,C/s,D/s\n");

  const Sample first = MakeSample(1, 0.5, {{L"x,y", {1, 2, 3, 4}}, {L"say \"hi\"", {5, 6, 7, 8}}});
  EXPECT_EQ(writer->Format(first, ComputeRows(nullptr, first)),
            "1,0.500,\"x,y\",1,2,3,4,,,,\n"
            "1,0.500,\"say \"\"hi\"\"\",5,6,7,8,,,,\n");

  const Sample second = MakeSample(2, 1.0, {{L"x,y", {2, 4, 6, 8}}});
  EXPECT_EQ(writer->Format(second, ComputeRows(&first, second)), "2,1.000,\"x,y\",2,4,6,8,2.000,4.000,6.000,8.000\n");
}

TEST(SampleWriterTest, JsonIsOneEscapedObjectPerSample) {
  const auto writer = routerstat::MakeWriter(routerstat::Format::Json, kNames);
  EXPECT_EQ(writer->Header(), "");
  const Sample first = MakeSample(1, 2.0, {{L"a\"b\\c\x01", {1, 2, 3, 4}}});
  EXPECT_EQ(writer->Format(first, ComputeRows(nullptr, first)),
            "{\"sample\":1,\"seconds\":2.000,\"sessions\":[{\"Name\":\"a\\\"b\\\\c\\u0001\",\"A\":1,\"B\":2,"
            "\"C\":3,\"D\":4,\"rates\":null}]}\n");
  const Sample second = MakeSample(2, 4.0, {{L"a\"b\\c\x01", {3, 2, 3, 4}}, {L"z", {0, 0, 0, 0}}});
  EXPECT_EQ(writer->Format(second, ComputeRows(&first, second)),
            "{\"sample\":2,\"seconds\":4.000,\"sessions\":[{\"Name\":\"a\\\"b\\\\c\\u0001\",\"A\":3,\"B\":2,"
            "\"C\":3,\"D\":4,\"rates\":{\"A\":1.000,\"B\":0.000,\"C\":0.000,\"D\":0.000}},"
            "{\"Name\":\"z\",\"A\":0,\"B\":0,\"C\":0,\"D\":0,\"rates\":null}]}\n");
}

TEST(SampleWriterTest, TableShowsEverySessionWithADashForAMissingRate) {
  const auto writer = routerstat::MakeWriter(routerstat::Format::Table, kNames);
  const Sample first = MakeSample(1, 1.0, {{L"session-01", {7, 0, 0, 0}}});
  const std::string text = writer->Format(first, ComputeRows(nullptr, first));
  EXPECT_EQ(text.rfind("sample 1 at 1.000 s, 1 session\n", 0), 0u) << text;
  const size_t row = text.find("session-01");
  ASSERT_NE(row, std::string::npos);
  const std::string line = text.substr(row, text.find('\n', row) - row);
  EXPECT_NE(line.find(" 7 "), std::string::npos) << line;
  EXPECT_EQ(line.back(), '-') << line;
}

}  // namespace
