// The restore's reading of its six journals on arbitrary contents, in a
// scratch working directory. Every input is planned phase by phase and the
// PESEL base is rebuilt from it, which must leave exactly the planned files
// with exactly their lines. One run in 64 then also runs the whole
// restore_files_local (its two letter trees make it a hundred times dearer);
// the first run always does, so a saved input replays both.
//
// Input: the journals in restore order separated by the line "%%".
// Journals the input does not reach are absent.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <set>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "admin/journal_phases.h"
#include "admin/replay_plan.h"
#include "admin/replay_write.h"
#include "admin/restore.h"
#include "admin/tree_prune.h"
#include "store/settings.h"
#include "tests/fuzz/fuzz_workdir.h"

namespace {

const char* const journals[] = {"list_pesel_usr.q", "list_pesel_obj.q", "list_pesel_nod.q",
                                "list_uid32base.q", "list_ip.nq",       "list_start_base.q"};
constexpr std::string_view separator = "\n%%\n";
constexpr std::size_t journal_count = sizeof journals / sizeof *journals;

void check(bool ok) {
  if (!ok) std::abort();
}

std::string list_path(const char* name) { return std::string(list_base) + "/" + name; }

std::string read_whole(const std::string& path) {
  std::string text;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "<missing>";
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return text;
}

void write_whole(const std::string& path, std::string_view text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  check(fd >= 0);
  check(::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
  ::close(fd);
}

// Lays the input's journals into the list folder; returns their contents
// ("<missing>" for the absent ones).
void lay_journals(std::string_view body, std::string (&laid)[journal_count]) {
  std::size_t i = 0;
  for (; i < journal_count && body.data(); ++i) {
    std::size_t cut = body.find(separator);
    std::string_view part = body.substr(0, cut);
    write_whole(list_path(journals[i]), part);
    laid[i] = std::string(part);
    body = cut == std::string_view::npos ? std::string_view() : body.substr(cut + separator.size());
  }
  for (; i < journal_count; ++i) {
    ::unlink(list_path(journals[i]).c_str());
    laid[i] = "<missing>";
  }
}

// The shape of a tree: the widths of its key levels (0: the whole key) and
// the files its targets may have.
struct tree_shape {
  const char* root;
  std::vector<std::size_t> levels;
  std::vector<std::string_view> files;
  bool letter_levels;  // one-character levels of a letter tree may be "."
};

// A planned path stays in its tree: root, the key levels, then (for a
// target) one of the tree's files; no level climbs out with "..".
void check_in_tree(std::string_view p, const tree_shape& tree, bool target) {
  std::string_view r(tree.root);
  check(p.size() > r.size() + 1 && p.substr(0, r.size()) == r && p[r.size()] == '/');
  p.remove_prefix(r.size() + 1);
  std::size_t depth = 0;
  for (;;) {
    std::size_t slash = p.find('/');
    std::string_view level = p.substr(0, slash);
    check(!level.empty() && level != "..");
    if (slash == std::string_view::npos) {
      if (target) {
        check(depth == tree.levels.size());
        bool known = false;
        for (std::string_view f : tree.files) known = known || level == f;
        check(known);
        return;
      }
    }
    check(depth < tree.levels.size());
    std::size_t width = tree.levels[depth];
    check(width == 0 || level.size() == width);
    check(level != "." || (tree.letter_levels && width == 1));
    ++depth;
    if (slash == std::string_view::npos) return;
    p.remove_prefix(slash + 1);
  }
}

void check_plan(replay_plan& plan, const tree_shape& tree) {
  std::uint64_t last_first = 0;
  for (const planned_target& t : plan.targets) {
    check_in_tree(t.path, tree, true);
    check(!t.lines.empty() && t.first_seq() > last_first);
    last_first = t.first_seq();
    std::uint64_t seq = 0;
    for (const planned_line& l : t.lines) {
      check(l.seq > seq && l.seq < plan.next_seq());
      seq = l.seq;
      check(l.text.find('\n') == std::string_view::npos && l.text.find('\0') == std::string_view::npos);
    }
    std::string_view prefix(t.path);
    // The folders made before the appends: the innermost one and those it lies in.
    for (std::uint32_t d = t.dir; d != no_dir; d = plan.dirs[d].parent) {
      check(d < plan.dirs.size());
      const std::string& dir = plan.dirs[d].path;
      check_in_tree(dir, tree, false);
      check(prefix.substr(0, dir.size()) == dir && prefix[dir.size()] == '/');
    }
  }
}

const tree_shape pesel_tree{pesel_base, {2, 2, 2, 2, 2, 1}, {"pesel.usr", "pesel.obj", "pesel.nod"}, false};
const tree_shape entry_tree{uid32base, {1, 1, 1, 0}, {"usr.q", "node.q", "ip.q"}, true};
const tree_shape code_tree{start_base, {1, 1, 1}, {"scode.q"}, true};

void check_phase(const phase_result& r, const replay_plan& plan) {
  check(r.first_seq <= r.end_seq && r.end_seq == plan.next_seq());
}

// Entries of the PESEL base, leaving out the top-level names that begin with
// '.', which the clearing keeps as they are.
std::set<std::string>* walked_files;
std::set<std::string>* walked_dirs;
std::size_t base_length;

int walk_entry(const char* path, const struct stat*, int type, FTW*) {
  std::string_view p(path);
  if (p.size() <= base_length) return 0;
  if (p[base_length + 1] == '.') return 0;
  (type == FTW_F ? walked_files : walked_dirs)->insert(std::string(p));
  return 0;
}

// Plans the three PESEL-base phases as the restore does, rebuilds the base
// and compares it with the plan.
void rebuild_pesel_base() {
  replay_plan plan;
  phase_result r = plan_pesel_phase(plan, journals[0], "pesel.usr", "no_file[1]", "incorrect_qvector[1]");
  check_phase(r, plan);
  if (!r.stop_cause) {
    r = plan_pesel_phase(plan, journals[1], "pesel.obj", "no_file[3]", "incorrect_qvector[2]");
    check_phase(r, plan);
  }
  if (!r.stop_cause) {
    r = plan_department_phase(plan, journals[2], "no_file[5]");
    check_phase(r, plan);
    check(r.stop_cause == nullptr || std::strcmp(r.stop_cause, "no_file[5]") == 0);
  }
  check_plan(plan, pesel_tree);
  prune_folder(pesel_base, plan);
  // Every key that gives a path gives a writable one: no append may fail.
  check(write_plan(plan) == no_seq);

  std::set<std::string> files, dirs, want_files, want_dirs;
  walked_files = &files;
  walked_dirs = &dirs;
  base_length = std::strlen(pesel_base);
  ::nftw(pesel_base, walk_entry, 16, FTW_PHYS);
  for (const planned_target& t : plan.targets) {
    if (t.path[base_length + 1] == '.') continue;
    want_files.insert(t.path);
    std::string content;
    for (const planned_line& l : t.lines) content.append(l.text).push_back('\n');
    check(read_whole(t.path) == content);
  }
  for (const planned_dir& d : plan.dirs)
    if (d.path[base_length + 1] != '.') want_dirs.insert(d.path);
  check(files == want_files);
  check(dirs == want_dirs);
}

// The UID32 and start phases plan without writing (their trees need the
// letter levels that only the whole restore lays).
void plan_other_trees() {
  replay_plan entries;
  phase_result r = plan_uid32_phase(entries, journals[3], "no_file[7]", "incorrect_qvector[4]");
  check_phase(r, entries);
  if (!r.stop_cause) {
    r = plan_address_phase(entries, journals[4], "no_file[9]", "incorrect_qvector[5]", "incorrect_qvector[6]");
    check_phase(r, entries);
  }
  check_plan(entries, entry_tree);
  replay_plan codes;
  check_phase(plan_start_phase(codes, journals[5], "no_file[11]", "incorrect_qvector[7]"), codes);
  check_plan(codes, code_tree);
}

bool known_refusal(std::string_view cause) {
  static const char* const causes[] = {
      "no_file[1]",  "no_file[2]",  "no_file[3]",  "no_file[4]",           "no_file[5]",
      "no_file[6]",  "no_file[7]",  "no_file[8]",  "no_file[9]",           "no_file[10]",
      "no_file[11]", "no_file[12]", "incorrect_qvector[1]", "incorrect_qvector[2]", "incorrect_qvector[4]",
      "incorrect_qvector[5]", "incorrect_qvector[6]", "incorrect_qvector[7]"};
  for (const char* c : causes)
    if (cause == c) return true;
  return false;
}

void whole_restore(const std::string (&laid)[journal_count]) {
  char buf[512] = "OP=restore_files_local&";
  int rc = restore_files_local(buf, buf, "127.0.0.1");
  std::string_view reply(buf, strnlen(buf, sizeof buf));
  check(reply.size() < sizeof buf);
  constexpr std::string_view done = "RE=restore_files_local&STATUS=done&";
  constexpr std::string_view refused = "RE=restore_files_local&STATUS=refused&CP=";
  if (rc == 0) {
    check(reply == done);
  } else {
    check(rc == -1 && reply.substr(0, refused.size()) == refused && reply.back() == '&');
    check(known_refusal(reply.substr(refused.size(), reply.size() - refused.size() - 1)));
  }
  // The journals are only read.
  for (std::size_t i = 0; i < journal_count; ++i) check(read_whole(list_path(journals[i])) == laid[i]);
  check(read_whole("BIN/version") == "1.0.0\nLinux\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  enter_fuzz_workdir();
  static std::uint64_t runs = 0;
  std::string laid[journal_count];
  lay_journals(std::string_view(reinterpret_cast<const char*>(data), size), laid);
  rebuild_pesel_base();
  plan_other_trees();
  if (runs++ % 64 == 0) whole_restore(laid);
  return 0;
}
