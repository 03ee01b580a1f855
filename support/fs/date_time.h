#pragma once
// Conversions between the run-time library's 64-bit time (seconds since
// 1970-01-01 UTC, "time" below), the platform's file time, the OLE automation
// date (days since 1899-12-30, the fraction being the time of day), minutes
// since 1900-01-01 and a small broken-down record; parsing of date-time text;
// fixed-format time stamps.
//
// The stamp functions each return their own static buffer, overwritten by the
// next call of the same function from any thread: copy the text at once.

#include <cstddef>
#include <cstdint>

#include <windows.h>

namespace fts {

// No time zone: each function says whether it holds UTC or local time.
struct DateTimeRecord {
  int16_t year = 0;
  int8_t month = 0;
  int8_t day = 0;
  int8_t hour = 0;
  int8_t minute = 0;
  int8_t second = 0;
};

void TimeToFileTime(int64_t time, FILETIME* fileTime);
// Truncates toward zero; always true.
bool FileTimeToTime(const FILETIME& fileTime, int64_t* time);
// -1 when the platform cannot convert the date.
int64_t VariantTimeToTime(double date);
// Non-zero on success.
int TimeToVariantTime(int64_t time, double* date);
int64_t TimeToMinutes1900(int64_t time);
// Exact for every minute count, before 1901 and after 2038 too.
int64_t Minutes1900ToTime(int32_t minutes);

// The current time in UTC.
void GetUtcDateTime(DateTimeRecord* record);
// Any date of the proleptic Gregorian calendar; before 1899-12-30 the
// fraction counts away from day 0, as automation dates do.
void DateTimeToVariantTime(const DateTimeRecord& record, double* date);
// Leaves the record as it was when the platform cannot convert the date.
void VariantTimeToDateTime(DateTimeRecord* record, double date);
// Years 1 to 2037 with real month lengths, hours 0-23, minutes and seconds
// 0-59.
bool IsValidDateTime(const DateTimeRecord& record);
// Year (4 digits), month, day, hour, minute and second (2 digits each) at
// their fixed places, any one character between them; eight characters with
// digits at both ends read as YYYYMMDD. Missing fields read as 0; then a year
// outside 32-2038 becomes 2006 and any other field out of range becomes 1.
void ParseDateTime(const char* text, DateTimeRecord* record);

// "YYYY:MM:DD-hh:mm:ss" of the current UTC time.
const char* UtcTimeStamp();
// "MM/DD hh:mm:ss" of the current UTC time; UtcShortTimeStamp<wchar_t>() is
// the wide form.
template <typename Char = char>
const Char* UtcShortTimeStamp();
template <>
const char* UtcShortTimeStamp<char>();
template <>
const wchar_t* UtcShortTimeStamp<wchar_t>();
// "YYYY:MM:DD-hh:mm:ss" of the record.
const char* DateTimeText(const DateTimeRecord& record);

// The local date and time text of the user's default locale, "date time".
// Without a buffer, stores the size the text needs in *size. With one, writes
// the text when *size is at least that size; otherwise false and the buffer
// untouched.
bool FormatLocalDateTime(int64_t time, char* buffer, size_t* size, bool shortDate);
// A new text of the time, owned by the caller (delete[]): "" for time 0,
// else the short local form. False, with *text null, when the time cannot be
// rendered.
bool TimeToText(int64_t time, char** text);

}  // namespace fts
