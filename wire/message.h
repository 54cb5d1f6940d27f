// Messages: KEY=value& fields, read with select_value.
#pragma once
#include <cstddef>
#include <string_view>

#include "base/text.h"

// Results of select_value.
inline constexpr int field_found = 0;
inline constexpr int field_absent = -1;    // absent, not terminated, or message too short
inline constexpr int field_too_long = -2;  // present, but longer than the destination holds

// Finds the first "key=" anywhere in message (a plain substring search) and
// copies the text up to the next '&' into dst. When the field is absent or has
// no closing '&', dst becomes "NULL" and the result is field_absent. A message
// of three characters or fewer leaves dst untouched (field_absent). A value
// that does not fit cap bytes (terminator included) is never cut: dst becomes
// "NULL" and the result is field_too_long, so callers that test for "NULL"
// refuse it like an absent field.
int select_value(const char* message, const char* key, char* dst, std::size_t cap);

template <std::size_t N>
int select_value(const char* message, const char* key, char (&dst)[N]) {
  return select_value(message, key, dst, N);
}

// Two spellings, two meanings. "null" is a value: what is stored and sent for
// "no value" (a firm without a REGON, a user without an ACT). "NULL" is no
// value at all: what select_value leaves for a field that is absent or too
// long, so a handler refuses it.
inline bool is_null_value(const char* v) { return std::string_view(v) == "null"; }
inline bool is_absent_field(const char* v) { return std::string_view(v) == "NULL"; }
