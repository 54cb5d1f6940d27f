// Messages: KEY=value& fields read with select_value, and bounded text helpers
// so that nothing is ever copied past the end of a fixed buffer.
#pragma once
#include <cstddef>
#include <string_view>

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

// Copies src into dst[cap] with its terminator. Returns false, leaving dst
// empty, when it does not fit.
bool copy_text(char* dst, std::size_t cap, std::string_view src);

template <std::size_t N>
bool copy_text(char (&dst)[N], std::string_view src) {
  return copy_text(dst, N, src);
}

// Builds a text in a fixed buffer piece by piece. Once a piece does not fit,
// the builder stays failed and the buffer holds the pieces that did fit.
class text_builder {
 public:
  text_builder(char* buf, std::size_t cap) : buf_(buf), cap_(cap) {
    if (cap_ > 0) buf_[0] = '\0';
    ok_ = cap_ > 0;
  }
  template <std::size_t N>
  explicit text_builder(char (&buf)[N]) : text_builder(buf, N) {}

  text_builder& add(std::string_view piece);
  text_builder& field(std::string_view key, std::string_view value);  // key=value&
  bool ok() const { return ok_; }
  std::size_t size() const { return len_; }
  std::string_view view() const { return {buf_, len_}; }

 private:
  char* buf_;
  std::size_t cap_;
  std::size_t len_ = 0;
  bool ok_;
};

// The decimal value of an optional blank run, an optional sign and the leading
// digits, as atoi reads it; no digits give 0. Saturates instead of overflowing.
long parse_leading_long(std::string_view text);

inline bool is_null_text(const char* v) { return std::string_view(v) == "null"; }
inline bool is_absent(const char* v) { return std::string_view(v) == "NULL"; }
