#include "tests/support/tree_snapshot.h"

#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace testing_support {

namespace {

std::string octal(mode_t m) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%o", static_cast<unsigned>(m & 07777));
  return buf;
}

void walk(const std::string& abs, const std::string& rel, tree_snapshot& out) {
  DIR* d = ::opendir(abs.c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string a = abs + "/" + name, r = rel.empty() ? name : rel + "/" + name;
    struct stat st;
    if (::lstat(a.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      out[r] = "dir " + octal(st.st_mode);
      walk(a, r, out);
    } else if (S_ISLNK(st.st_mode)) {
      char target[512];
      ssize_t n = ::readlink(a.c_str(), target, sizeof target);
      out[r] = "link -> " + std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0);
    } else {
      std::ifstream f(a, std::ios::binary);
      out[r] = "file " + octal(st.st_mode) + ":" + std::string(std::istreambuf_iterator<char>(f), {});
    }
  }
  ::closedir(d);
}

bool letter_level(const std::string& path) {
  if (path.size() != 1 && path.size() != 3 && path.size() != 5) return false;
  for (std::size_t i = 0; i < path.size(); ++i) {
    bool ok = i % 2 == 0 ? (path[i] >= 'A' && path[i] <= 'Z') : path[i] == '/';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

tree_snapshot snapshot_tree(const std::string& root) {
  tree_snapshot out;
  walk(root, "", out);
  return out;
}

tree_snapshot without_letter_levels(const tree_snapshot& tree) {
  tree_snapshot out;
  for (const auto& [path, what] : tree)
    if (!(letter_level(path) && what == "dir 777")) out.emplace(path, what);
  return out;
}

std::string tree_difference(const tree_snapshot& a, const tree_snapshot& b, int limit) {
  std::string out;
  auto ia = a.begin();
  auto ib = b.begin();
  auto note = [&](const std::string& path, const std::string& x, const std::string& y) {
    if (limit-- > 0) out += path + ": " + x + " | " + y + "\n";
  };
  while (ia != a.end() || ib != b.end()) {
    if (ib == b.end() || (ia != a.end() && ia->first < ib->first)) {
      note(ia->first, ia->second, "(absent)");
      ++ia;
    } else if (ia == a.end() || ib->first < ia->first) {
      note(ib->first, "(absent)", ib->second);
      ++ib;
    } else {
      if (ia->second != ib->second) note(ia->first, ia->second, ib->second);
      ++ia;
      ++ib;
    }
  }
  return out;
}

}  // namespace testing_support
