// The daily key table: a 512-byte table every peer derives from its local
// date through a generator over decimal digit strings.
#pragma once
#include <cstddef>
#include <cstdint>

// Constants shared by every peer of an installation.
inline constexpr int key_day_weight = 379;
inline constexpr int key_year_weight = 53;
inline constexpr int key_final_multiplier = 71;
inline constexpr int key_fallback_number = 40417293;
inline constexpr char key_modulus_text[] = "281474976710597";
inline constexpr std::uint64_t key_modulus = 281474976710597ULL;

// Bounds of multiply: the rows of the schoolbook method must fit the work
// area, and the product (with its terminator) the result buffer.
inline constexpr std::size_t multiply_work_digits = 1008;
inline constexpr std::size_t multiply_result_size = 1000;

extern int key;                      // key number of the latest check
extern int old_key;                  // key number the table was built for
extern unsigned char key_buf2[512];  // the key table

// Product of two decimal digit strings, exactly as many digits as both
// operands together (leading zeros kept). Both operands are used as scratch.
// The result lives in a private buffer until the next call. An empty operand,
// a non-digit, or operands too long for the work area (len(b) * (len(a) + 1)
// + len(b) * (len(b) + 1) / 2 > 1008, or a product over 999 digits) give the
// empty text and leave both operands untouched.
const char* multiply(char* a, char* b);
// Remainder of a decimal digit string by divisor; -1 when divisor is 0, above
// INT64_MAX (the remainder must fit the result), or the text holds a non-digit.
std::int64_t mod(const char* digits, std::uint64_t divisor);
void RSA_srand(std::int32_t seed);
std::int32_t RSA_rand();
// Key number of the local date; -1 (and the fallback number) when the clock
// cannot be read.
int key_number(int* out);
// Key number of an explicit local date (year, month 0-11, day of year 1-366).
int key_number_for(int year, int month0, int yday1);
// Table byte of one generator value: the remainder by 255 (truncated toward
// zero, so negative for negative values) cut to its low 8 bits.
unsigned char key_table_byte(std::int32_t value);
// Builds the table for a key number into out. Reseeds the generator.
void build_key_table(int key_no, unsigned char out[512]);
// Brings key_buf2 up to date; rebuilds only when the key number changed (or
// no table was built yet), so old_key names the number key_buf2 belongs to.
void check_key_number();
