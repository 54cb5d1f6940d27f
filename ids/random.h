// Random characters from the system's random device, and the clock text.
#pragma once

#include "base/random_source.h"

// Character classes of true_random_generator.
inline constexpr int class_bytes = 0;    // the byte unchanged
inline constexpr int class_digits = 1;   // '0'..'9'
inline constexpr int class_capitals = 2; // 'A'..'Z'
inline constexpr int class_smalls = 3;   // 'a'..'z'
inline constexpr int class_printable = 4;// '!'..'}'

// Fills out with count (at most 64) characters of the class and a NUL; 0.
// -1 when the random device fails or the class is unknown (out untouched).
int true_random_generator(char* out, int count, int cls);
// Where true_random_generator draws first: reserve_random (the kernel's
// source, one call per request) unless a test installs another source. When
// it returns -1 the generator opens and reads /dev/urandom instead. Returns
// the source replaced.
random_source set_true_random_source(random_source source);
// Seconds and nanoseconds of the real-time clock as "%ld" texts (each at
// least 21 bytes); 0, or non-zero with both "NULL".
int timer(char* seconds_out, char* nanoseconds_out);
