// The daily key table: a 512-byte table every peer derives from its local
// date through a generator over decimal digit strings.
#pragma once
#include <cstdint>

// Constants shared by every peer of an installation.
inline constexpr int key_day_weight = 379;
inline constexpr int key_year_weight = 53;
inline constexpr int key_final_multiplier = 71;
inline constexpr int key_fallback_number = 40417293;
inline constexpr char key_modulus_text[] = "281474976710597";
inline constexpr std::uint64_t key_modulus = 281474976710597ULL;

extern int key;                      // key number of the latest check
extern int old_key;                  // key number the table was built for
extern unsigned char key_buf2[512];  // the key table

// Product of two decimal digit strings, exactly as many digits as both
// operands together (leading zeros kept). Both operands are used as scratch.
// The result lives in a private buffer until the next call.
const char* multiply(char* a, char* b);
// Remainder of a decimal digit string by divisor; -1 when divisor is 0.
std::int64_t mod(const char* digits, std::uint64_t divisor);
void RSA_srand(std::int32_t seed);
std::int32_t RSA_rand();
// Key number of the local date; -1 (and the fallback number) when the clock
// cannot be read.
int key_number(int* out);
// Key number of an explicit local date (year, month 0-11, day of year 1-366).
int key_number_for(int year, int month0, int yday1);
// Builds the table for a key number into out.
void build_key_table(int key_no, unsigned char out[512]);
// Brings key_buf2 up to date; rebuilds only when the key number changed.
void check_key_number();
