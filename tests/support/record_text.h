// Shapes of stored record text, for tests that compare lines whose DATE and
// issued identifiers they cannot know in advance.
#pragma once
#include <string>
#include <string_view>

#include "tests/support/dated_text.h"

namespace testing_support {

inline bool all_in(std::string_view s, char lo, char hi) {
  for (char c : s)
    if (c < lo || c > hi) return false;
  return true;
}

// The line without its closing DATE field; a line that does not end with one
// comes back marked, so that comparing it fails.
inline std::string undated(std::string_view line) {
  if (line.size() >= 23 && is_date_field(line.substr(line.size() - 23))) return std::string(line.substr(0, line.size() - 23));
  return std::string(line) + "<no DATE field>";
}

inline bool is_uid32(std::string_view s) { return s.size() == 32 && all_in(s.substr(0, 3), 'A', 'Z') && all_in(s.substr(3), '0', '9'); }
inline bool is_euid(std::string_view s) { return s.size() == 32 && all_in(s, 'a', 'z'); }

}  // namespace testing_support
