// Bounded text helpers, so that nothing is ever copied past the end of a
// fixed buffer and "did not fit" is an answer, never a silent cut.
#pragma once
#include <cstddef>
#include <string_view>

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
