#include "admin/replay_write.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "admin/tree_prune.h"
#include "wire/owners.h"

namespace {

constexpr mode_t folder_mode = 0755;
constexpr mode_t file_mode = 0666;

mode_t creation_mask() {
  mode_t m = ::umask(0);
  ::umask(m);
  return m;
}

// Writes n bytes at offset at (or appends when at < 0); how many got out.
std::size_t put_bytes(int fd, const char* p, std::size_t n, off_t at) {
  std::size_t done = 0;
  while (done < n) {
    ssize_t w = at < 0 ? ::write(fd, p + done, n - done)
                       : ::pwrite(fd, p + done, n - done, at + static_cast<off_t>(done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<std::size_t>(w);
  }
  return done;
}

bool same_content(int fd, const std::string& content, std::string& scratch) {
  scratch.resize(content.size());
  std::size_t got = 0;
  while (got < scratch.size()) {
    ssize_t r = ::pread(fd, scratch.data() + got, scratch.size() - got, static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return scratch == content;
}

enum class put_result { done, failed, not_kept };

// A file the clearing kept stands for the file a replay creates anew: it is
// given the new content (left alone when it holds exactly that already) and
// the mode and owner of a fresh file. not_kept when it is not a plain file
// of its own (a hard link would carry the change elsewhere).
put_result replace_kept(planned_target& t, const std::string& content, std::string& scratch,
                        std::size_t& done) {
  unique_fd fd(::open(t.path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
    return put_result::not_kept;
  mode_t mode = file_mode & ~creation_mask();
  if ((st.st_mode & 07777) != mode) ::fchmod(fd.get(), mode);
  if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
    int r = ::fchown(fd.get(), ::geteuid(), ::getegid());
    (void)r;
  }
  t.written = true;
  t.base = 0;
  t.end = st.st_size;
  off_t size = static_cast<off_t>(content.size());
  if (st.st_size == size && same_content(fd.get(), content, scratch)) {
    done = content.size();
    return put_result::done;
  }
  done = put_bytes(fd.get(), content.data(), content.size(), 0);
  t.end = std::max(st.st_size, static_cast<off_t>(done));
  if (done < content.size()) return put_result::failed;
  if (st.st_size > size) {
    if (::ftruncate(fd.get(), size) != 0) {
      done = 0;
      return put_result::failed;
    }
    t.end = size;
  }
  return put_result::done;
}

// The line-by-line replay's append, for all the target's lines at once.
put_result append_lines(planned_target& t, const std::string& content, std::size_t& done) {
  done = 0;
  unique_fd fd(::open(t.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, file_mode));
  if (!fd) return put_result::failed;
  off_t base = ::lseek(fd.get(), 0, SEEK_END);
  t.written = true;
  t.base = base < 0 ? 0 : base;
  done = put_bytes(fd.get(), content.data(), content.size(), -1);
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
    if (t.written) {
      off_t keep = t.base;
      for (const planned_line& l : t.lines) {
        if (l.seq >= cut) break;
        keep += static_cast<off_t>(l.text.size() + 1);
      }
      if (keep < t.end && ::truncate(t.path.c_str(), keep) == 0) t.end = keep;
    } else if (t.kept && t.first_seq() >= cut) {
      ::unlink(t.path.c_str());  // the replay never came back to it
    }
  }
  // The folders of the failing append itself are made before it fails.
  for (const planned_dir& d : plan.dirs)
    if (d.kept && d.first_seq > cut) remove_path(d.path);
}

}  // namespace

std::uint64_t write_plan(replay_plan& plan) {
  std::uint64_t cut = no_seq;
  std::string content, scratch;
  for (planned_target& t : plan.targets) {
    if (t.first_seq() >= cut) break;  // in order of first append: the rest start later still
    for (std::uint32_t i : t.chain) {
      planned_dir& d = plan.dirs[i];
      if (!d.present) {
        // As in the line-by-line replay the result is not looked at: a folder
        // that could not be made shows as a failed append.
        ::mkdir(d.path.c_str(), folder_mode);
        d.present = true;
      }
    }
    content.clear();
    for (const planned_line& l : t.lines) {
      if (l.seq >= cut) break;
      content.append(l.text).push_back('\n');
    }
    std::size_t done = 0;
    put_result r = put_result::not_kept;
    if (t.kept) r = replace_kept(t, content, scratch, done);
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
