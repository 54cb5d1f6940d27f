#include "base/text.h"

#include <climits>
#include <cstring>

bool copy_text(char* dst, std::size_t cap, std::string_view src) {
  if (cap == 0) return false;
  if (src.size() + 1 > cap) {
    dst[0] = '\0';
    return false;
  }
  // An empty view may have no storage at all: memmove must not see its null.
  if (!src.empty()) std::memmove(dst, src.data(), src.size());
  dst[src.size()] = '\0';
  return true;
}

text_builder& text_builder::add(std::string_view piece) {
  if (!ok_) return *this;
  if (len_ + piece.size() + 1 > cap_) {
    ok_ = false;
    return *this;
  }
  if (!piece.empty()) std::memmove(buf_ + len_, piece.data(), piece.size());
  len_ += piece.size();
  buf_[len_] = '\0';
  return *this;
}

text_builder& text_builder::field(std::string_view key, std::string_view value) {
  return add(key).add("=").add(value).add("&");
}

long parse_leading_long(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int d = text[i] - '0';
    if (value > (LONG_MAX - d) / 10) return negative ? LONG_MIN : LONG_MAX;
    value = value * 10 + d;
  }
  return negative ? -value : value;
}
