#include "support/fs/date_time.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>

#include <oleauto.h>

namespace fts {
namespace {

// 100-nanosecond units from 1601-01-01 to 1970-01-01.
constexpr uint64_t kFileTimeAt1970 = 116444736000000000ULL;
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000ULL;
constexpr int64_t kMinutes1900To1970 = 36816480;
constexpr int64_t kSeconds1900To1970 = 2208988800;
constexpr size_t kStampUnits = 32;
constexpr int kWorkUnits = 255;

uint64_t FileTimeValue(const FILETIME& fileTime) {
  return (static_cast<uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
}

bool IsLeapYear(int year) { return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0); }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

void CopyFields(const SYSTEMTIME& when, DateTimeRecord* record) {
  record->year = static_cast<int16_t>(when.wYear);
  record->month = static_cast<int8_t>(when.wMonth);
  record->day = static_cast<int8_t>(when.wDay);
  record->hour = static_cast<int8_t>(when.wHour);
  record->minute = static_cast<int8_t>(when.wMinute);
  record->second = static_cast<int8_t>(when.wSecond);
}

bool InRange(int value, int low, int high) { return value >= low && value <= high; }

// The time as local SYSTEMTIME; false when a conversion fails.
bool ToLocalSystemTime(int64_t time, SYSTEMTIME* local) {
  FILETIME utc = {};
  FILETIME localFileTime = {};
  TimeToFileTime(time, &utc);
  return FileTimeToLocalFileTime(&utc, &localFileTime) && FileTimeToSystemTime(&localFileTime, local);
}

constexpr LCID kUserDefaultLocale = 0x400;

int DateText(const SYSTEMTIME& when, bool shortDate, char* output, int units) {
  return GetDateFormatA(kUserDefaultLocale, shortDate ? DATE_SHORTDATE : 0, &when, nullptr, output, units);
}

int TimeText(const SYSTEMTIME& when, char* output, int units) {
  return GetTimeFormatA(kUserDefaultLocale, 0, &when, nullptr, output, units);
}

// The ctime form of the local time without its line feed, for when the
// locale cannot render the time.
bool EnglishLocalTime(int64_t time, char* output, size_t units) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm local = {};
  const __time64_t value = time;
  if (_localtime64_s(&local, &value) != 0) return false;
  snprintf(output, units, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[local.tm_wday], kMonths[local.tm_mon],
           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
  return true;
}

void FormatLongStamp(const DateTimeRecord& record, char (&text)[kStampUnits]) {
  snprintf(text, kStampUnits, "%4d:%02d:%02d-%02d:%02d:%02d", record.year, record.month, record.day, record.hour,
           record.minute, record.second);
}

void FormatShortStamp(char (&text)[kStampUnits]) {
  DateTimeRecord now;
  GetUtcDateTime(&now);
  snprintf(text, kStampUnits, "%02d/%02d %02d:%02d:%02d", now.month, now.day, now.hour, now.minute, now.second);
}

}  // namespace

void TimeToFileTime(int64_t time, FILETIME* fileTime) {
  if (fileTime == nullptr) return;
  const uint64_t value = static_cast<uint64_t>(time) * kFileTimeUnitsPerSecond + kFileTimeAt1970;
  fileTime->dwLowDateTime = static_cast<DWORD>(value);
  fileTime->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

bool FileTimeToTime(const FILETIME& fileTime, int64_t* time) {
  if (time == nullptr) return false;
  const int64_t since1970 = static_cast<int64_t>(FileTimeValue(fileTime) - kFileTimeAt1970);
  *time = since1970 / static_cast<int64_t>(kFileTimeUnitsPerSecond);
  return true;
}

int64_t VariantTimeToTime(double date) {
  SYSTEMTIME when = {};
  FILETIME fileTime = {};
  int64_t time = -1;
  if (VariantTimeToSystemTime(date, &when) && SystemTimeToFileTime(&when, &fileTime)) FileTimeToTime(fileTime, &time);
  return time;
}

int TimeToVariantTime(int64_t time, double* date) {
  if (date == nullptr) return 0;
  FILETIME fileTime = {};
  SYSTEMTIME when = {};
  TimeToFileTime(time, &fileTime);
  if (!FileTimeToSystemTime(&fileTime, &when)) return 0;
  return SystemTimeToVariantTime(&when, date);
}

int64_t TimeToMinutes1900(int64_t time) { return time / 60 + kMinutes1900To1970; }

int64_t Minutes1900ToTime(int32_t minutes) { return int64_t{minutes} * 60 - kSeconds1900To1970; }

void GetUtcDateTime(DateTimeRecord* record) {
  if (record == nullptr) return;
  SYSTEMTIME now = {};
  GetSystemTime(&now);
  CopyFields(now, record);
}

void DateTimeToVariantTime(const DateTimeRecord& record, double* date) {
  if (date == nullptr) return;
  static constexpr int kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const int64_t y = record.year;
  const int month = record.month;
  // Out-of-range months are the caller's to avoid; clamping keeps the table
  // read in bounds.
  const int monthIndex = month < 1 ? 0 : (month > 12 ? 11 : month - 1);
  int64_t days = 365 * y + y / 4 - y / 100 + y / 400 + kDaysBeforeMonth[monthIndex] + record.day - 693959;
  if (IsLeapYear(static_cast<int>(y)) && (month == 1 || month == 2)) --days;
  const double fraction = (3600.0 * record.hour + 60.0 * record.minute + record.second) / 86400.0;
  *date = days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

void VariantTimeToDateTime(DateTimeRecord* record, double date) {
  SYSTEMTIME when = {};
  if (record == nullptr || !VariantTimeToSystemTime(date, &when)) return;
  CopyFields(when, record);
}

bool IsValidDateTime(const DateTimeRecord& record) {
  return InRange(record.year, 1, 2037) && InRange(record.month, 1, 12) &&
         InRange(record.day, 1, DaysInMonth(record.year, record.month)) && InRange(record.hour, 0, 23) &&
         InRange(record.minute, 0, 59) && InRange(record.second, 0, 59);
}

void ParseDateTime(const char* text, DateTimeRecord* record) {
  if (text == nullptr || record == nullptr) return;
  char source[32] = {};
  if (strnlen(text, 9) == 8 && isdigit(static_cast<unsigned char>(text[0])) &&
      isdigit(static_cast<unsigned char>(text[7]))) {
    snprintf(source, sizeof(source), "%.4s:%.2s:%.2s", text, text + 4, text + 6);
  } else {
    strncpy(source, text, sizeof(source) - 1);
  }
  // Fields sit at fixed places; whatever separates them is replaced.
  char work[24] = {};
  strncpy(work, source, 23);
  work[4] = work[7] = work[13] = work[16] = ':';
  work[10] = ' ';
  work[19] = '\0';
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  sscanf(work, "%4d:%2d:%2d %2d:%2d:%2d", &year, &month, &day, &hour, &minute, &second);
  record->year = static_cast<int16_t>(year);
  record->month = static_cast<int8_t>(month);
  record->day = static_cast<int8_t>(day);
  record->hour = static_cast<int8_t>(hour);
  record->minute = static_cast<int8_t>(minute);
  record->second = static_cast<int8_t>(second);
  if (!InRange(record->year, 32, 2038)) record->year = 2006;
  if (!InRange(record->month, 1, 12)) record->month = 1;
  if (!InRange(record->day, 1, 31)) record->day = 1;
  if (!InRange(record->hour, 0, 23)) record->hour = 1;
  if (!InRange(record->minute, 0, 59)) record->minute = 1;
  if (!InRange(record->second, 0, 59)) record->second = 1;
}

const char* UtcTimeStamp() {
  DateTimeRecord now;
  GetUtcDateTime(&now);
  static char stamp[kStampUnits];
  FormatLongStamp(now, stamp);
  return stamp;
}

template <>
const char* UtcShortTimeStamp<char>() {
  static char stamp[kStampUnits];
  FormatShortStamp(stamp);
  return stamp;
}

template <>
const wchar_t* UtcShortTimeStamp<wchar_t>() {
  char narrow[kStampUnits];
  FormatShortStamp(narrow);
  // Digits and separators only: each byte widens to the same character.
  static wchar_t stamp[kStampUnits];
  for (size_t i = 0; i < kStampUnits; ++i) stamp[i] = static_cast<unsigned char>(narrow[i]);
  return stamp;
}

const char* DateTimeText(const DateTimeRecord& record) {
  static char text[kStampUnits];
  FormatLongStamp(record, text);
  return text;
}

bool FormatLocalDateTime(int64_t time, char* buffer, size_t* size, bool shortDate) {
  SYSTEMTIME local = {};
  if (size == nullptr || !ToLocalSystemTime(time, &local)) return false;
  if (buffer == nullptr) {
    const int dateUnits = DateText(local, shortDate, nullptr, 0);
    const int timeUnits = TimeText(local, nullptr, 0);
    if (dateUnits <= 0 || timeUnits <= 0) return false;
    *size = static_cast<size_t>(dateUnits) + static_cast<size_t>(timeUnits) + 3;
    return true;
  }
  char date[kWorkUnits] = {};
  char clock[kWorkUnits] = {};
  // Both counts include the terminator, as in the size query.
  const int dateUnits = DateText(local, shortDate, date, kWorkUnits);
  const int timeUnits = TimeText(local, clock, kWorkUnits);
  if (dateUnits <= 0 || timeUnits <= 0) return false;
  if (*size < static_cast<size_t>(dateUnits) + static_cast<size_t>(timeUnits) + 3) return false;
  snprintf(buffer, *size, "%s %s", date, clock);
  return true;
}

bool TimeToText(int64_t time, char** text) {
  if (text == nullptr) return false;
  *text = nullptr;
  if (time == 0) {
    *text = new char[1]();
    return true;
  }
  size_t size = 0;
  if (FormatLocalDateTime(time, nullptr, &size, true)) {
    char* rendered = new char[size]();
    if (!FormatLocalDateTime(time, rendered, &size, true)) {
      delete[] rendered;
      return false;
    }
    *text = rendered;
    return true;
  }
  constexpr size_t kEnglishUnits = 30;
  char* rendered = new char[kEnglishUnits]();
  if (!EnglishLocalTime(time, rendered, kEnglishUnits)) {
    delete[] rendered;
    return false;
  }
  *text = rendered;
  return true;
}

}  // namespace fts
