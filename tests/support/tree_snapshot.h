// Whole trees as values, so tests can compare what two runs left on disk.
#pragma once
#include <map>
#include <string>

namespace testing_support {

// Every entry below root by path relative to root: "dir 755", "file 644:" +
// content, "link -> " + target (links are not followed). Empty when root is
// missing.
using tree_snapshot = std::map<std::string, std::string>;
tree_snapshot snapshot_tree(const std::string& root);
// The entries of a tree without the letter skeleton of the UID32 base and
// the start folder (the A..Z folders of three levels, mode 777).
tree_snapshot without_letter_levels(const tree_snapshot& tree);
// Up to `limit` entries that differ, one per line ("path: a | b"); empty
// when the two are equal.
std::string tree_difference(const tree_snapshot& a, const tree_snapshot& b, int limit = 20);

}  // namespace testing_support
