// The replay of one tree, worked out before anything is written: which file
// receives which journal lines, in which order, and which folders are made on
// the way. Every append gets a sequence number in the order in which a
// line-by-line replay would make it, so a batched write can stop exactly
// where that replay would have stopped.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

inline constexpr std::uint64_t no_seq = UINT64_MAX;

// A folder that the replay creates (mkdir) before an append.
struct planned_dir {
  std::string path;
  std::uint64_t first_seq;  // the first append that makes it
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
  std::vector<std::uint32_t> chain;  // folders made before each append, outermost first
  std::vector<planned_line> lines;
  bool kept = false;       // found by the clearing: its old content is replaced
  bool written = false;    // the writer has put its lines
  off_t base = 0;          // size before the writer's lines
  off_t end = 0;           // size after them
  std::uint64_t first_seq() const { return lines.front().seq; }
};

class replay_plan {
 public:
  // Owns a text that planned lines point into; its address never changes.
  std::string& keep_text(std::string text);
  // Plans the append of text to file_path after making the folders of chain.
  void add(const std::vector<std::string_view>& chain, std::string_view file_path,
           std::string_view text);
  std::uint64_t next_seq() const { return next_seq_; }

  planned_dir* find_dir(const std::string& path);
  planned_target* find_target(const std::string& path);

  std::vector<planned_dir> dirs;
  std::vector<planned_target> targets;  // in order of their first append

 private:
  std::uint32_t dir_for(std::string_view path, std::uint64_t seq);
  std::deque<std::string> texts_;
  std::unordered_map<std::string, std::uint32_t> dir_index_;
  std::unordered_map<std::string, std::uint32_t> target_index_;
  std::uint64_t next_seq_ = 1;
};
