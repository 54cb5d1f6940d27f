#include "wire/keytable.h"

#include <charconv>
#include <cstring>
#include <ctime>
#include <string_view>

#include "wire/message.h"

int key = 0;
int old_key = 0;
unsigned char key_buf2[512];

namespace {

char mul[multiply_result_size];  // latest product of multiply
std::int32_t init_seed = 0;      // decimal generator state
bool table_built = false;        // old_key means nothing until the first build

// The key number depends on the local date alone, so the conversion to local
// time is needed only when the clock leaves the window it was last made in.
// A window ends at the next quarter hour of local time: midnight is one, and
// so is every daylight-saving shift in use, so no date change falls inside it.
std::time_t window_from = 0;
std::time_t window_until = 0;  // empty until the first conversion
int window_key = 0;

// key_number, without the local-time conversion while the window holds.
void current_key_number(int* out) {
  struct timespec ts;
  struct tm local;
  const bool clock_ok = ::clock_gettime(CLOCK_REALTIME, &ts) == 0;
  if (clock_ok && ts.tv_sec >= window_from && ts.tv_sec < window_until) {
    *out = window_key;
    return;
  }
  if (!clock_ok || ::localtime_r(&ts.tv_sec, &local) == nullptr) {
    window_until = window_from;  // nothing is kept from a failed reading
    *out = key_fallback_number;
    return;
  }
  *out = key_number_for(local.tm_year + 1900, local.tm_mon, local.tm_yday + 1);
  const int into_quarter = local.tm_min % 15 * 60 + local.tm_sec;  // a leap second only shortens it
  window_from = ts.tv_sec;
  window_until = ts.tv_sec + (15 * 60 - into_quarter);
  window_key = *out;
}

bool all_digits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

const char* multiply(char* a, char* b) {
  mul[0] = '\0';
  const std::size_t la = ::strnlen(a, multiply_result_size);
  const std::size_t lb = ::strnlen(b, multiply_result_size);
  if (la == 0 || lb == 0 || la + lb >= multiply_result_size) return mul;
  // The rows of the schoolbook layout: one per digit of b, each holding the
  // digits of a, a carry and its shift. Operands beyond that are refused.
  if (lb * (la + 1) + lb * (lb + 1) / 2 > multiply_work_digits) return mul;
  if (!all_digits({a, la}) || !all_digits({b, lb})) return mul;

  for (std::size_t i = 0; i < la; ++i) a[i] = static_cast<char>(a[i] - '0');
  for (std::size_t j = 0; j < lb; ++j) b[j] = static_cast<char>(b[j] - '0');

  // Digits least significant first; row j adds a * b[j] shifted by j places.
  unsigned char r[multiply_result_size] = {};
  for (std::size_t j = 0; j < lb; ++j) {
    const unsigned bj = static_cast<unsigned char>(b[lb - 1 - j]);
    unsigned carry = 0;
    for (std::size_t i = 0; i < la; ++i) {
      const unsigned t = r[i + j] + static_cast<unsigned char>(a[la - 1 - i]) * bj + carry;
      r[i + j] = static_cast<unsigned char>(t % 10);
      carry = t / 10;
    }
    r[la + j] = static_cast<unsigned char>(carry);
  }
  const std::size_t len = la + lb;
  for (std::size_t d = 0; d < len; ++d) mul[d] = static_cast<char>('0' + r[len - 1 - d]);
  mul[len] = '\0';
  return mul;
}

std::int64_t mod(const char* digits, std::uint64_t divisor) {
  if (divisor == 0 || divisor > static_cast<std::uint64_t>(INT64_MAX)) return -1;
  // 128 bits so that value * 10 + 9 cannot wrap whatever the divisor.
  __extension__ using wide = unsigned __int128;
  wide value = 0;
  for (const char* p = digits; *p; ++p) {
    if (*p < '0' || *p > '9') return -1;
    value = (value * 10 + static_cast<unsigned>(*p - '0')) % divisor;
  }
  return static_cast<std::int64_t>(value);
}

void RSA_srand(std::int32_t seed) { init_seed = seed; }

std::int32_t RSA_rand() {
  // The state's bits read as unsigned: at most 10 digits, so the sixth power
  // has at most 60 and every multiplication stays far inside the work area.
  char number[16];
  auto conv = std::to_chars(number, number + sizeof number - 1, static_cast<std::uint32_t>(init_seed));
  *conv.ptr = '\0';
  const std::string_view digits(number, static_cast<std::size_t>(conv.ptr - number));

  char product[72];
  copy_text(product, digits);
  for (int k = 0; k < 5; ++k) {
    char a[72];
    char b[16];
    copy_text(a, product);
    copy_text(b, digits);
    copy_text(product, multiply(a, b));
  }
  const std::int64_t rem = mod(product, key_modulus);
  init_seed = static_cast<std::int32_t>(static_cast<std::uint32_t>(rem));
  return init_seed;
}

int key_number_for(int year, int month0, int yday1) {
  // Wraps like 32-bit int arithmetic, computed unsigned so nothing overflows.
  const std::uint32_t sum = static_cast<std::uint32_t>(yday1) * key_day_weight +
                            static_cast<std::uint32_t>(year) * key_year_weight +
                            static_cast<std::uint32_t>(month0);
  return static_cast<int>(sum * static_cast<std::uint32_t>(key_final_multiplier));
}

int key_number(int* out) {
  struct timespec ts;
  struct tm local;
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0 || ::localtime_r(&ts.tv_sec, &local) == nullptr) {
    *out = key_fallback_number;
    return -1;
  }
  *out = key_number_for(local.tm_year + 1900, local.tm_mon, local.tm_yday + 1);
  return 0;
}

unsigned char key_table_byte(std::int32_t value) { return static_cast<unsigned char>(value % 255); }

void build_key_table(int key_no, unsigned char out[512]) {
  RSA_srand(key_no);
  for (int i = 0; i < 512; ++i) out[i] = key_table_byte(RSA_rand());
}

void check_key_number() {
  current_key_number(&key);
  if (table_built && key == old_key) return;
  build_key_table(key, key_buf2);
  old_key = key;
  table_built = true;
}
