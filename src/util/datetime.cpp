#include "util/datetime.h"

#include <cmath>
#include <ctime>

#include "util/exceptions.h"

namespace vtx {
namespace {

constexpr long long kMsPerDay = 86400000LL;

// Days from 1970-01-01 for a proleptic Gregorian date.
long long daysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civilFromDays(long long z, int& y, int& m, int& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (m <= 2));
}

const long long kEpoch = daysFromCivil(1899, 12, 30);

bool leap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

}  // namespace

double EncodeDate(int year, int month, int day) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > kDays[month - 1] + (month == 2 && leap(year) ? 1 : 0))
    throw EConvertError("Invalid argument to date encode.");
  return static_cast<double>(
      daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpoch);
}

double EncodeTime(int hour, int minute, int second, int msec) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 ||
      msec > 999)
    throw EConvertError("Invalid argument to time encode.");
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + msec) / kMsPerDay;
}

bool DecodeDateTime(double value, DateTimeParts& p) {
  // Days of 0001-01-01 and 9999-12-31 relative to the epoch, with one day of margin.
  if (!std::isfinite(value) || value < -693594.0 || value > 2958466.0) return false;
  double whole = std::trunc(value);
  long long days = static_cast<long long>(whole);
  long long ms = std::llround(std::fabs(value - whole) * kMsPerDay);
  if (ms >= kMsPerDay) {
    ms = 0;
    days += value < 0 ? -1 : 1;
  }
  civilFromDays(days + kEpoch, p.year, p.month, p.day);
  if (p.year < 1 || p.year > 9999) return false;
  p.hour = static_cast<int>(ms / 3600000);
  p.minute = static_cast<int>(ms / 60000 % 60);
  p.second = static_cast<int>(ms / 1000 % 60);
  p.msec = static_cast<int>(ms % 1000);
  return true;
}

double NowLocal() {
  std::timespec ts{};
  std::timespec_get(&ts, TIME_UTC);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  return EncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) +
         EncodeTime(tm.tm_hour, tm.tm_min, tm.tm_sec < 60 ? tm.tm_sec : 59,
                    static_cast<int>(ts.tv_nsec / 1000000));
}

}  // namespace vtx
