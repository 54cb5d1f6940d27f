#include "store/date_field.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"

namespace {

constexpr std::size_t date_cap = 24;

bool two_digits(int v) { return v >= 0 && v <= 99; }

// Two decimal digits of v (0..99) at p; the position after them.
char* put2(char* p, int v) {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
  return p + 2;
}

}  // namespace

int format_date_field(const std::tm& t, char* out) {
  const long long year = static_cast<long long>(t.tm_year) + 1900;
  if (year >= 1000 && year <= 9999 && two_digits(t.tm_mon + 1) && two_digits(t.tm_mday) &&
      two_digits(t.tm_hour) && two_digits(t.tm_min) && two_digits(t.tm_sec)) {
    // The usual case written digit by digit: the formatted printing below
    // costs more than everything else that makes a record line.
    char* p = out;
    std::memcpy(p, "DATE=", 5);
    p = put2(put2(p + 5, static_cast<int>(year / 100)), static_cast<int>(year % 100));
    p = put2(put2(p, t.tm_mon + 1), t.tm_mday);
    *p++ = '-';
    p = put2(p, t.tm_hour);
    *p++ = ':';
    p = put2(p, t.tm_min);
    *p++ = ':';
    p = put2(p, t.tm_sec);
    *p++ = '&';
    *p = '\0';
    return 0;
  }
  char buf[date_cap];
  int n = std::snprintf(buf, sizeof buf, "DATE=%lld%02d%02d-%02d:%02d:%02d&",
                        static_cast<long long>(t.tm_year) + 1900, t.tm_mon + 1, t.tm_mday,
                        t.tm_hour, t.tm_min, t.tm_sec);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf) {
    copy_text(out, date_cap, "NULL");
    return -1;
  }
  copy_text(out, date_cap, std::string_view(buf, static_cast<std::size_t>(n)));
  return 0;
}

int get_time(char* out) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (now == static_cast<std::time_t>(-1) || ::localtime_r(&now, &local) == nullptr) {
    copy_text(out, date_cap, "NULL");
    return -1;
  }
  return format_date_field(local, out);
}
