#include "admin/replay_plan.h"

std::string& replay_plan::keep_text(std::string text) {
  texts_.push_back(std::move(text));
  return texts_.back();
}

std::uint32_t replay_plan::dir_for(std::string_view path, std::uint64_t seq) {
  auto [it, fresh] = dir_index_.try_emplace(std::string(path), static_cast<std::uint32_t>(dirs.size()));
  if (fresh) dirs.push_back(planned_dir{it->first, seq});
  return it->second;
}

void replay_plan::add(const std::vector<std::string_view>& chain, std::string_view file_path,
                      std::string_view text) {
  std::uint64_t seq = next_seq_++;
  auto [it, fresh] =
      target_index_.try_emplace(std::string(file_path), static_cast<std::uint32_t>(targets.size()));
  if (fresh) {
    planned_target t;
    t.path = it->first;
    for (std::string_view d : chain) t.chain.push_back(dir_for(d, seq));
    targets.push_back(std::move(t));
  }
  targets[it->second].lines.push_back(planned_line{seq, text});
}

planned_dir* replay_plan::find_dir(const std::string& path) {
  auto it = dir_index_.find(path);
  return it == dir_index_.end() ? nullptr : &dirs[it->second];
}

planned_target* replay_plan::find_target(const std::string& path) {
  auto it = target_index_.find(path);
  return it == target_index_.end() ? nullptr : &targets[it->second];
}
