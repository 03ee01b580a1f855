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

const std::array<std::wstring, routerstat::kCounters> kPropertyNames = {
    L"Bypass_Msg_Received", L"Bypass_Msg_Sent", L"Msg_Sent2Relay", L"Relay_Msg_Received"};

std::string FamilyHeader(const std::string& name, const std::string& property) {
  return "# HELP " + name + " Running total " + property +
         " of a router session, the raw 32-bit value the provider serves (wraps at 2^32).\n# TYPE " + name +
         " counter\n";
}

const char kGauge[] =
    "# HELP fernwick_router_sessions Number of router sessions the provider serves.\n"
    "# TYPE fernwick_router_sessions gauge\n";

TEST(SampleWriterTest, PrometheusHasAFamilyPerCounterAndOneSeriesPerDistinctLabel) {
  const auto writer = routerstat::MakeWriter(routerstat::Format::Prometheus, kPropertyNames);
  EXPECT_EQ(writer->Header(), "");
  // A lone surrogate becomes U+FFFD (EF BF BD), so "x\xD800" and "x\xDC00"
  // give one label value; a repeated name gives one series too.
  const Sample sample = MakeSample(1, 1.0,
                                   {{L"a\"b\\c\nd", {1, 2, 3, 0xFFFFFFFFu}},
                                    {L"x\xD800", {5, 6, 7, 8}},
                                    {L"x\xDC00", {9, 9, 9, 9}},
                                    {L"a\"b\\c\nd", {4, 4, 4, 4}},
                                    {L"", {0, 0, 0, 0}}});
  std::string expected;
  const char* properties[] = {"Bypass_Msg_Received", "Bypass_Msg_Sent", "Msg_Sent2Relay", "Relay_Msg_Received"};
  const char* families[] = {"bypass_msg_received", "bypass_msg_sent", "msg_sent2relay", "relay_msg_received"};
  const char* values[][3] = {{"1", "5", "0"}, {"2", "6", "0"}, {"3", "7", "0"}, {"4294967295", "8", "0"}};
  for (int k = 0; k < 4; ++k) {
    const std::string name = std::string("fernwick_router_session_") + families[k] + "_total";
    expected += FamilyHeader(name, properties[k]);
    expected += name + "{session=\"a\\\"b\\\\c\\nd\"} " + values[k][0] + "\n";
    expected += name + "{session=\"x\xEF\xBF\xBD\"} " + values[k][1] + "\n";
    expected += name + "{session=\"\"} " + values[k][2] + "\n";
  }
  expected += std::string(kGauge) + "fernwick_router_sessions 5\n";
  EXPECT_EQ(writer->Format(sample, ComputeRows(nullptr, sample)), expected);
}

TEST(SampleWriterTest, PrometheusWithoutSessionsKeepsItsFamiliesAndCountsZero) {
  const auto writer = routerstat::MakeWriter(routerstat::Format::Prometheus, kPropertyNames);
  const std::string text = writer->Format(MakeSample(1, 1.0, {}), {});
  const std::string tail = std::string(kGauge) + "fernwick_router_sessions 0\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_EQ(text.find("{"), std::string::npos);
  EXPECT_NE(text.find("# TYPE fernwick_router_session_relay_msg_received_total counter\n"), std::string::npos);
}

}  // namespace
