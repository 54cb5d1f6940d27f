#include "wire/message.h"

#include <cstring>

int select_value(const char* message, const char* key, char* dst, std::size_t cap) {
  if (std::strlen(message) <= 3) return field_absent;
  auto put = [&](std::string_view v) { copy_text(dst, cap, v); };

  std::string_view msg(message);
  std::string_view k(key);
  // Search "key=" without building the pattern in a buffer of its own.
  std::size_t at = 0;
  for (;;) {
    at = msg.find(k, at);
    if (at == std::string_view::npos) {
      put("NULL");
      return field_absent;
    }
    if (at + k.size() < msg.size() && msg[at + k.size()] == '=') break;
    ++at;
  }
  std::size_t begin = at + k.size() + 1;
  std::size_t end = msg.find('&', at);
  if (end == std::string_view::npos) {
    put("NULL");
    return field_absent;
  }
  // The first '&' after the match can only lie before the value when the key
  // itself holds an '&'; such a key never matches a stored field.
  if (end < begin) {
    put("NULL");
    return field_absent;
  }
  std::string_view value = msg.substr(begin, end - begin);
  if (value.size() + 1 > cap) {
    put("NULL");
    return field_too_long;
  }
  put(value);
  return field_found;
}
