#include "admin/replay_plan.h"

#include <sys/stat.h>
#include <unistd.h>

fresh_modes fresh_modes_now() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return {static_cast<mode_t>(replay_folder_mode & ~mask), static_cast<mode_t>(replay_file_mode & ~mask),
          ::geteuid(), ::getegid()};
}

std::string& replay_plan::keep_text(std::string text) {
  texts_.push_back(std::move(text));
  return texts_.back();
}

// The innermost folder of chain; the folders not planned yet are added,
// each with the one it lies in. Found from the inside out: once a folder is
// planned, so are those it lies in.
std::uint32_t replay_plan::chain_dirs(const std::vector<std::string_view>& chain, std::uint64_t seq) {
  std::size_t known = chain.size();
  std::uint32_t parent = no_dir;
  while (known > 0) {
    auto it = dir_index_.find(chain[known - 1]);
    if (it != dir_index_.end()) {
      parent = it->second;
      break;
    }
    --known;
  }
  for (std::size_t i = known; i < chain.size(); ++i) {
    auto index = static_cast<std::uint32_t>(dirs.size());
    auto [it, fresh] = dir_index_.try_emplace(std::string(chain[i]), index);
    if (fresh) dirs.push_back(planned_dir{it->first, seq, parent});
    parent = it->second;
  }
  return parent;
}

void replay_plan::add(const std::vector<std::string_view>& chain, std::string_view file_path,
                      std::string_view text) {
  std::uint64_t seq = next_seq_++;
  auto it = target_index_.find(file_path);
  if (it == target_index_.end()) {
    auto index = static_cast<std::uint32_t>(targets.size());
    it = target_index_.try_emplace(std::string(file_path), index).first;
    planned_target t;
    t.path = it->first;
    t.dir = chain_dirs(chain, seq);
    targets.push_back(std::move(t));
  }
  targets[it->second].lines.push_back(planned_line{seq, text});
}

void replay_plan::expect_appends(std::size_t n) {
  targets.reserve(targets.size() + n);
  target_index_.reserve(target_index_.size() + n);
  dir_index_.reserve(dir_index_.size() + 2 * n);
}

planned_dir* replay_plan::find_dir(std::string_view path) {
  auto it = dir_index_.find(path);
  return it == dir_index_.end() ? nullptr : &dirs[it->second];
}

planned_target* replay_plan::find_target(std::string_view path) {
  auto it = target_index_.find(path);
  return it == target_index_.end() ? nullptr : &targets[it->second];
}
