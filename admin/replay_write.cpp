#include "admin/replay_write.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "admin/tree_prune.h"
#include "base/io.h"
#include "base/owners.h"

namespace {

enum class put_result { done, failed, not_kept };

// A kept file stands for the file that the replay creates anew: it gets the
// new content and the mode and owner of a fresh file. not_kept when it is
// not a plain file of its own (through a hard link the change would show
// elsewhere too).
put_result replace_kept(planned_target& t, const std::string& content, const fresh_modes& fresh,
                        std::size_t& done) {
  unique_fd fd(::open(t.path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
    return put_result::not_kept;
  if ((st.st_mode & 07777) != fresh.file) ::fchmod(fd.get(), fresh.file);
  if (st.st_uid != fresh.uid || st.st_gid != fresh.gid) {
    int r = ::fchown(fd.get(), fresh.uid, fresh.gid);
    (void)r;
  }
  t.written = true;
  t.base = 0;
  done = write_up_to(fd.get(), content.data(), content.size(), 0);
  t.end = std::max(st.st_size, static_cast<off_t>(done));
  if (done < content.size()) return put_result::failed;
  off_t size = static_cast<off_t>(content.size());
  if (st.st_size > size) {
    if (::ftruncate(fd.get(), size) != 0) {
      done = 0;
      return put_result::failed;
    }
  }
  t.end = size;
  return put_result::done;
}

// The line-by-line replay's append, for all the target's lines at once.
put_result append_lines(planned_target& t, const std::string& content, std::size_t& done) {
  done = 0;
  unique_fd fd(::open(t.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, replay_file_mode));
  if (!fd) return put_result::failed;
  off_t base = ::lseek(fd.get(), 0, SEEK_END);
  t.written = true;
  t.base = base < 0 ? 0 : base;
  done = write_up_to(fd.get(), content.data(), content.size());
  t.end = t.base + static_cast<off_t>(done);
  bool closed = ::close(fd.release()) == 0;
  if (done < content.size()) return put_result::failed;
  if (!closed) {
    done = 0;  // nothing is known to have reached the file
    return put_result::failed;
  }
  return put_result::done;
}

// The append that the byte at offset `byte` of the target's content belongs to.
std::uint64_t seq_at_byte(const planned_target& t, std::size_t byte) {
  std::size_t end = 0;
  for (const planned_line& l : t.lines) {
    end += l.text.size() + 1;
    if (byte < end) return l.seq;
  }
  return t.lines.back().seq;
}

// Leaves what a line-by-line replay leaves when the append `cut` fails.
void roll_back(replay_plan& plan, std::uint64_t cut) {
  for (planned_target& t : plan.targets) {
    if (t.first_seq() >= cut) {
      if (t.written) {
        // The failing append itself: its file was opened, none of its lines stays.
        if (t.end > t.base && ::truncate(t.path.c_str(), t.base) == 0) t.end = t.base;
      } else if (t.kept) {
        ::unlink(t.path.c_str());  // cleared, and the replay never came back to it
      }
      continue;
    }
    if (!t.written && !t.settled) continue;
    off_t keep = t.base;
    for (const planned_line& l : t.lines) {
      if (l.seq >= cut) break;
      keep += static_cast<off_t>(l.text.size() + 1);
    }
    if (keep < t.end && ::truncate(t.path.c_str(), keep) == 0) t.end = keep;
  }
  // The folders of the failing append itself are made before it fails.
  for (const planned_dir& d : plan.dirs)
    if (d.kept && d.first_seq > cut) remove_path(d.path);
}

// Makes the folder and those it lies in that are not there yet, outermost
// first. As in the line-by-line replay the results are not looked at: a
// folder that could not be made shows as a failed append.
void make_folders(replay_plan& plan, std::uint32_t dir, std::vector<std::uint32_t>& missing) {
  missing.clear();
  for (std::uint32_t i = dir; i != no_dir && !plan.dirs[i].present; i = plan.dirs[i].parent)
    missing.push_back(i);
  for (auto i = missing.rbegin(); i != missing.rend(); ++i) {
    ::mkdir(plan.dirs[*i].path.c_str(), replay_folder_mode);
    plan.dirs[*i].present = true;
  }
}

}  // namespace

std::uint64_t write_plan(replay_plan& plan) {
  std::uint64_t cut = no_seq;
  std::string content;
  std::vector<std::uint32_t> missing;
  const fresh_modes fresh = fresh_modes_now();
  for (planned_target& t : plan.targets) {
    if (t.first_seq() >= cut) break;  // in order of first append: the rest start later still
    if (t.settled) continue;          // its folders are kept, its lines in place
    make_folders(plan, t.dir, missing);
    content.clear();
    for (const planned_line& l : t.lines) {
      if (l.seq >= cut) break;
      content.append(l.text).push_back('\n');
    }
    std::size_t done = 0;
    put_result r = put_result::not_kept;
    if (t.kept) r = replace_kept(t, content, fresh, done);
    if (r == put_result::not_kept) {
      if (t.kept) ::unlink(t.path.c_str());
      t.kept = false;
      r = append_lines(t, content, done);
    }
    if (r == put_result::failed) cut = std::min(cut, seq_at_byte(t, done));
  }
  if (cut != no_seq) roll_back(plan, cut);
  return cut;
}
