// The DATE field that closes every stored record.
#pragma once
#include <ctime>

// "DATE=YYYYMMDD-hh:mm:ss&" in local time into out[24]; 0. When the clock
// cannot be read: "NULL" and -1.
int get_time(char* out);
// The DATE field of the broken-down time t into out[24]; 0, or "NULL" and -1
// when it would not fit (a year past 9999).
int format_date_field(const std::tm& t, char* out);
