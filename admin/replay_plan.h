// The replay of one tree, worked out before anything is written: which file
// receives which journal lines, in which order, and which folders are made on
// the way. Every append gets a sequence number in the order in which a
// line-by-line replay would make it, so a batched write can stop exactly
// where that replay would have stopped.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

inline constexpr std::uint64_t no_seq = UINT64_MAX;
inline constexpr std::uint32_t no_dir = UINT32_MAX;

// What the replay creates: folders 0755 and files 0666, under the
// file-creation mask, owned by the process.
inline constexpr mode_t replay_folder_mode = 0755;
inline constexpr mode_t replay_file_mode = 0666;
struct fresh_modes {
  mode_t folder;
  mode_t file;
  uid_t uid;
  gid_t gid;
};
// The modes and owner of a folder or file created now.
fresh_modes fresh_modes_now();

// A folder that the replay creates (mkdir) before an append.
struct planned_dir {
  std::string path;
  std::uint64_t first_seq;  // the first append that makes it
  std::uint32_t parent;     // the planned folder it lies in, or no_dir
  bool present = false;     // exists already: kept by the clearing, or made
  bool kept = false;        // found by the clearing and left in place
};

struct planned_line {
  std::uint64_t seq;
  std::string_view text;  // without newline
};

// One target file and the lines it receives, in order.
struct planned_target {
  std::string path;
  std::uint32_t dir;  // innermost folder made before each append (with those it lies in), or no_dir
  std::vector<planned_line> lines;
  bool kept = false;       // found by the clearing: its old content is replaced
  bool settled = false;    // kept, and found holding exactly its lines already
  bool written = false;    // the writer has put its lines
  off_t base = 0;          // size before the writer's lines (0 when kept)
  off_t end = 0;           // size after them (or of a settled file)
  std::uint64_t first_seq() const { return lines.front().seq; }
};

class replay_plan {
 public:
  // Owns a text that planned lines point into; its address never changes.
  std::string& keep_text(std::string text);
  // Plans the append of text to file_path after making the folders of
  // chain, outermost first, each lying in the one before.
  void add(const std::vector<std::string_view>& chain, std::string_view file_path,
           std::string_view text);
  // Room for n more appends, so the indexes are not rebuilt as they grow.
  void expect_appends(std::size_t n);
  std::uint64_t next_seq() const { return next_seq_; }

  planned_dir* find_dir(std::string_view path);
  planned_target* find_target(std::string_view path);

  std::vector<planned_dir> dirs;
  std::vector<planned_target> targets;  // in order of their first append

 private:
  struct text_hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  using index = std::unordered_map<std::string, std::uint32_t, text_hash, std::equal_to<>>;
  std::uint32_t chain_dirs(const std::vector<std::string_view>& chain, std::uint64_t seq);
  std::deque<std::string> texts_;
  index dir_index_;
  index target_index_;
  std::uint64_t next_seq_ = 1;
};
