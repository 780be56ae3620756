// Date-times as days since 1899-12-30 00:00 (local time); the fraction is the time of day.
#pragma once

namespace vtx {

struct DateTimeParts {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0;
};

// Throw EConvertError "Invalid argument to date encode." / "Invalid argument to time encode.".
double EncodeDate(int year, int month, int day);
double EncodeTime(int hour, int minute, int second, int msec);
// Date from the whole-day part, time from the absolute fraction rounded to milliseconds.
// False when the value is not finite or outside years 1..9999.
bool DecodeDateTime(double value, DateTimeParts& parts);
// The current local date-time.
double NowLocal();

}  // namespace vtx
