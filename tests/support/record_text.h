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

// The start of a line (up to the DATE field) of a department registered with
// reply text d (its fields after STATUS=done&): its line in the firm's
// pesel.nod files and list_pesel_nod.q, and its line in its entry's node.q
// and list_uid32base.q.
inline std::string pesel_node_start(const std::string& d) {
  std::string s;
  for (const char* k : {"UID32", "EUID", "NAME", "DEP", "NIP", "REGON"}) s += std::string(k) + "=" + value_of(d, k) + "&";
  return s;
}
inline std::string uid32_node_start(const std::string& d) {
  std::string s;
  for (const char* k : {"UID32", "EUID", "NAME", "DEP", "PUID", "PORTP", "PORTQ", "NODES"})
    s += std::string(k) + "=" + value_of(d, k) + "&";
  return s;
}

// True when some whole line of text begins with start.
inline bool has_line_starting(const std::string& text, const std::string& start) {
  return ("\n" + text).find("\n" + start) != std::string::npos;
}

}  // namespace testing_support
