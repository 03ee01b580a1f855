#include <cmath>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/fs/date_time.h"

namespace {

struct DateVector {
  int year, month, day, hour, minute, second;
  int64_t time;
  uint64_t fileTime;
  double automation;
  int64_t minutes1900;
};

struct MinuteCount {
  int64_t minutes1900;
  int64_t time;
};

struct CalendarDay {
  int year, month, day;
  bool exists;
};

#include "date_vectors.inc"

fts::DateTimeRecord Record(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  fts::DateTimeRecord record;
  record.year = static_cast<int16_t>(year);
  record.month = static_cast<int8_t>(month);
  record.day = static_cast<int8_t>(day);
  record.hour = static_cast<int8_t>(hour);
  record.minute = static_cast<int8_t>(minute);
  record.second = static_cast<int8_t>(second);
  return record;
}

std::string Text(const fts::DateTimeRecord& record) { return fts::DateTimeText(record); }

std::string Describe(const DateVector& v) { return Text(Record(v.year, v.month, v.day, v.hour, v.minute, v.second)); }

}  // namespace

TEST(DateTime, FileTimesMatchTheCalendar) {
  for (const DateVector& v : kDateVectors) {
    FILETIME fileTime = {};
    fts::TimeToFileTime(v.time, &fileTime);
    EXPECT_EQ(v.fileTime, (uint64_t{fileTime.dwHighDateTime} << 32) | fileTime.dwLowDateTime) << Describe(v);
    int64_t time = 12345;
    EXPECT_TRUE(fts::FileTimeToTime(fileTime, &time));
    EXPECT_EQ(v.time, time) << Describe(v);
  }
  // Parts of a second are cut toward zero on both sides of 1970.
  const uint64_t epoch = 116444736000000000ULL;
  for (const auto& [fileTime, expected] : {std::pair<uint64_t, int64_t>{epoch - 5, 0}, {epoch + 5, 0},
                                          {epoch - 10000001, -1}, {epoch + 19999999, 1}}) {
    FILETIME value = {static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    int64_t time = 12345;
    fts::FileTimeToTime(value, &time);
    EXPECT_EQ(expected, time) << fileTime;
  }
}

TEST(DateTime, AutomationDatesMatchTheCalendar) {
  for (const DateVector& v : kDateVectors) {
    const fts::DateTimeRecord record = Record(v.year, v.month, v.day, v.hour, v.minute, v.second);
    double date = 0;
    fts::DateTimeToVariantTime(record, &date);
    EXPECT_NEAR(v.automation, date, 1e-9) << Describe(v);

    ASSERT_NE(0, fts::TimeToVariantTime(v.time, &date)) << Describe(v);
    EXPECT_NEAR(v.automation, date, 1e-6) << Describe(v);
    EXPECT_EQ(v.time, fts::VariantTimeToTime(v.automation)) << Describe(v);
    fts::DateTimeRecord back;
    fts::VariantTimeToDateTime(&back, v.automation);
    EXPECT_EQ(Describe(v), Text(back));
  }
  // Beyond what the platform converts: the documented substitutes.
  EXPECT_EQ(-1, fts::VariantTimeToTime(1e12));
  fts::DateTimeRecord untouched = Record(2001, 2, 3, 4, 5, 6);
  fts::VariantTimeToDateTime(&untouched, 1e12);
  EXPECT_EQ("2001:02:03-04:05:06", Text(untouched));
}

TEST(DateTime, MinutesSince1900MatchTheCalendar) {
  for (const DateVector& v : kDateVectors) {
    EXPECT_EQ(v.minutes1900, fts::TimeToMinutes1900(v.time)) << Describe(v);
    if (v.second == 0) {
      EXPECT_EQ(v.time, fts::Minutes1900ToTime(static_cast<int32_t>(v.minutes1900))) << Describe(v);
    }
  }
  for (const MinuteCount& m : kMinuteCounts) {
    EXPECT_EQ(m.time, fts::Minutes1900ToTime(static_cast<int32_t>(m.minutes1900))) << m.minutes1900;
  }
}

TEST(DateTime, ValidDatesFollowTheGregorianCalendarUpTo2037) {
  for (const CalendarDay& c : kCalendarDays) {
    EXPECT_EQ(c.exists, fts::IsValidDateTime(Record(c.year, c.month, c.day))) << c.year << "-" << c.month << "-"
                                                                               << c.day;
  }
  EXPECT_TRUE(fts::IsValidDateTime(Record(2037, 12, 31, 23, 59, 59)));
  EXPECT_FALSE(fts::IsValidDateTime(Record(2010, 5, 11, 24, 0, 0)));
  EXPECT_FALSE(fts::IsValidDateTime(Record(2010, 5, 11, 12, 60, 0)));
  EXPECT_FALSE(fts::IsValidDateTime(Record(2010, 5, 11, 12, 0, 60)));
  EXPECT_FALSE(fts::IsValidDateTime(Record(2010, 5, 11, -1, 0, 0)));
}

TEST(DateTime, ParseReadsFixedPlacesAndSubstitutesOutOfRangeFields) {
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"20100511", "2010:05:11-00:00:00"},
      {"2010-05-11T13:45:30", "2010:05:11-13:45:30"},
      {"2010/05/11 13.45.30 and more", "2010:05:11-13:45:30"},
      {"1999/13/40 25:61:00", "1999:01:01-01:01:00"},
      {"0010-05-11", "2006:05:11-00:00:00"},
      {"2039-01-01", "2006:01:01-00:00:00"},
      {"2010-05", "2010:05:01-00:00:00"},
      {"", "2006:01:01-00:00:00"},
      {"garbage", "2006:01:01-00:00:00"},
      {"2010051x", "2010:01:01-00:00:00"},  // not read as YYYYMMDD: the month is "51"
      {"123456", "1234:06:01-00:00:00"},    // six digits: no special reading
      {"2010-05-11 -5:-1:99", "2010:05:11-01:01:01"},
  };
  for (const auto& c : cases) {
    fts::DateTimeRecord record = Record(1, 1, 1);
    fts::ParseDateTime(c.text, &record);
    EXPECT_EQ(c.expected, Text(record)) << '"' << c.text << '"';
  }
  fts::DateTimeRecord record = Record(2001, 2, 3);
  fts::ParseDateTime(nullptr, &record);
  EXPECT_EQ("2001:02:03-00:00:00", Text(record));
  const std::string longText(200, '7');
  fts::ParseDateTime(longText.c_str(), &record);
  EXPECT_EQ("2006:01:01-01:01:01", Text(record)) << "7777 is out of range, then 77 for each field";
}

TEST(DateTime, StampsShowTheCurrentUtcTime) {
  // Each stamp must show the platform's UTC clock as read just before or after.
  SYSTEMTIME t[2] = {};
  GetSystemTime(&t[0]);
  const std::string full = fts::UtcTimeStamp();
  const std::string narrow = fts::UtcShortTimeStamp();
  const std::wstring wide = fts::UtcShortTimeStamp<wchar_t>();
  GetSystemTime(&t[1]);
  std::string fulls[2], shorts[2];
  for (int i = 0; i < 2; ++i) {
    fulls[i] = Text(Record(t[i].wYear, t[i].wMonth, t[i].wDay, t[i].wHour, t[i].wMinute, t[i].wSecond));
    shorts[i] = fulls[i].substr(5, 2) + "/" + fulls[i].substr(8, 2) + " " + fulls[i].substr(11);
  }
  EXPECT_TRUE(full == fulls[0] || full == fulls[1]) << full;
  EXPECT_TRUE(narrow == shorts[0] || narrow == shorts[1]) << narrow;
  EXPECT_EQ(narrow, std::string(wide.begin(), wide.end()));
}

TEST(DateTime, LocalTextFollowsTheSizeProtocol) {
  const int64_t time = 1273594668;  // 2010-05-11 16:17:48 UTC
  // The platform's own rendering of the same local moment.
  SYSTEMTIME utc = {2010, 5, 2, 11, 16, 17, 48, 0};
  SYSTEMTIME local = {};
  ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
  char date[128] = {};
  char clock[128] = {};
  GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr, date, sizeof(date));
  GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &local, nullptr, clock, sizeof(clock));
  const std::string expected = std::string(date) + " " + clock;

  size_t size = 0;
  ASSERT_TRUE(fts::FormatLocalDateTime(time, nullptr, &size, true));
  EXPECT_EQ(expected.size() + 4, size) << "both terminators and three more";
  std::string buffer(size, 'x');
  size_t smaller = size - 1;
  EXPECT_FALSE(fts::FormatLocalDateTime(time, &buffer[0], &smaller, true));
  EXPECT_EQ(std::string(size, 'x'), buffer) << "a refused call leaves the buffer untouched";
  ASSERT_TRUE(fts::FormatLocalDateTime(time, &buffer[0], &size, true));
  EXPECT_EQ(expected, buffer.c_str());

  char* text = nullptr;
  ASSERT_TRUE(fts::TimeToText(time, &text));
  EXPECT_EQ(expected, text);
  delete[] text;
  ASSERT_TRUE(fts::TimeToText(0, &text));
  EXPECT_STREQ("", text);
  delete[] text;
  EXPECT_FALSE(fts::FormatLocalDateTime(time, nullptr, nullptr, true));
  text = &date[0];
  EXPECT_FALSE(fts::TimeToText(-20000000000LL, &text)) << "before 1601";
  EXPECT_EQ(nullptr, text);
}
