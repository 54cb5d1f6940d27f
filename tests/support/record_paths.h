// Where the server keeps a key's records, relative to its working directory,
// and the lines of a record file, for tests that look at the trees.
#pragma once
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

// The UID32 entry of key: three one-letter levels, then the key.
inline std::string entry(const std::string& key) {
  return "DISK/UID32BASE/" + key.substr(0, 1) + "/" + key.substr(1, 1) + "/" + key.substr(2, 1) + "/" + key;
}

// The PESEL-base directory of an 11-character field: five two-character
// levels and the last character.
inline std::string person_dir(const std::string& id) {
  return "DISK/PESEL/" + id.substr(0, 2) + "/" + id.substr(2, 2) + "/" + id.substr(4, 2) + "/" + id.substr(6, 2) +
         "/" + id.substr(8, 2) + "/" + id.substr(10, 1);
}

// The lines of a text, without their newlines (a last line without one too).
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

}  // namespace testing_support
