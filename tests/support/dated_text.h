// Checks of record texts whose DATE field depends on the clock.
#pragma once
#include <string>
#include <string_view>

#include "tests/support/text_pattern.h"

namespace testing_support {

inline bool is_date_field(std::string_view f) { return matches(f, date_pattern); }

// text is exactly the given texts, each followed by a DATE field and a newline.
inline bool is_dated_lines(std::string_view text, std::initializer_list<std::string> lines) {
  for (const std::string& l : lines) {
    std::size_t end = l.size() + 23;
    if (text.size() < end + 1 || text.substr(0, l.size()) != l || !is_date_field(text.substr(l.size(), 23)) ||
        text[end] != '\n')
      return false;
    text.remove_prefix(end + 1);
  }
  return text.empty();
}

// The value of key in a KEY=value& text; "" when absent.
inline std::string value_of(std::string_view text, std::string_view key) {
  std::size_t at = 0;
  for (;;) {
    at = text.find(key, at);
    if (at == std::string_view::npos) return "";
    bool starts = at == 0 || text[at - 1] == '&';
    if (starts && text.substr(at + key.size(), 1) == "=") break;
    ++at;
  }
  std::size_t begin = at + key.size() + 1;
  std::size_t end = text.find('&', begin);
  return end == std::string_view::npos ? "" : std::string(text.substr(begin, end - begin));
}

}  // namespace testing_support
