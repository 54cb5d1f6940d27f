// Matching replies and records that hold clock digits or random letters:
// '#' in a pattern stands for any digit, '@' for any capital letter, every
// other character for itself. (std::regex trips a false uninitialised-use
// warning of GCC 12 under the sanitizers.)
#pragma once
#include <string>
#include <string_view>

namespace testing_support {

inline bool matches(std::string_view text, std::string_view pattern) {
  if (text.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char t = text[i], p = pattern[i];
    if (p == '#' ? (t < '0' || t > '9') : p == '@' ? (t < 'A' || t > 'Z') : t != p) return false;
  }
  return true;
}

inline const std::string date_pattern = "DATE=########-##:##:##&";
inline const std::string code_pattern = "@@@@-@@@@-@@@@-@@@@-@@@@";

}  // namespace testing_support
