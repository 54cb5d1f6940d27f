#include "admin/journal_phases.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <unordered_map>
#include <vector>

#include "base/format.h"
#include "base/io.h"
#include "base/owners.h"
#include "store/paths.h"
#include "store/settings.h"
#include "wire/message.h"

namespace {

constexpr std::size_t ip_record = 65;
constexpr std::size_t pesel_levels = 6;

// The whole journal, followed by one NUL so that its last line is a C string
// even without a newline. nullptr when it cannot be opened. A read error ends
// the journal there, as it ends a line-by-line reading.
std::string* load_journal(replay_plan& plan, const char* name, std::size_t& size) {
  char path[fmt::path_size];
  if (join_path(list_base, name, path, sizeof path) != 0) return nullptr;
  unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return nullptr;
  std::string text;
  struct stat st;
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    text.reserve(static_cast<std::size_t>(st.st_size) + 1);
  read_rest(fd.get(), text);  // what came before a read error is the journal
  size = text.size();
  text.push_back('\0');
  std::string& kept = plan.keep_text(std::move(text));
  // Every line is at least one append: room for all of them at once.
  std::size_t lines = 0;
  for (const char* p = kept.data(); (p = static_cast<const char*>(std::memchr(p, '\n', kept.data() + size - p)));
       ++p)
    ++lines;
  plan.expect_appends(lines + 1);
  return &kept;
}

// What the notes beside the journals say of one journal line.
struct line_note {
  long line = -1;     // the line of its tree file it replaced, or -1: appended
  bool skip = false;  // it reached no tree
};
using journal_notes = std::unordered_map<long long, line_note>;

// The notes of journal, by the offset where each noted line begins; none
// when the list folder has no notes file (the replay is then as it always
// was).
journal_notes load_notes(const char* journal) {
  journal_notes notes;
  char path[fmt::path_size];
  if (join_path(list_base, fname::journal_notes, path, sizeof path) != 0) return notes;
  unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
  std::string text;
  if (!fd || !read_rest(fd.get(), text)) return notes;
  std::size_t from = 0;
  for (std::size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1) {
    std::string line = text.substr(from, nl - from);
    char name[fmt::line_size], at[32], value[32];
    if (select_value(line.c_str(), "JOURNAL", name) != field_found || std::strcmp(name, journal) != 0 ||
        select_value(line.c_str(), "AT", at) != field_found)
      continue;
    long long offset = std::strtoll(at, nullptr, 10);
    if (select_value(line.c_str(), "SKIP", value) == field_found) {
      notes[offset].skip = true;
    } else if (select_value(line.c_str(), "LINE", value) == field_found) {
      notes[offset].line = std::strtol(value, nullptr, 10);
    }
  }
  return notes;
}

// Where the record of a journal line starts. A full disk under an older
// version could leave a fragment without its newline, and the next line was
// glued to it ("PESEL=1&UPESEL=2&UID32=..."): such a line holds the text of
// its first key ("PESEL=") a second time, and the record is the text from
// its last occurrence. The fragment before it is left out, never filed
// under its own key.
char* record_start(char* line) {
  char* eq = std::strchr(line, '=');
  if (!eq || eq == line) return line;
  const std::string key(line, static_cast<std::size_t>(eq - line + 1));
  char* start = line;
  for (char* at = std::strstr(line + 1, key.c_str()); at; at = std::strstr(at + 1, key.c_str())) start = at;
  return start;
}

// Calls fn(line) for every line of a loaded journal, the newline replaced by
// NUL in place, while fn returns true. A line is its text up to a NUL byte.
// A last line without its newline is a fragment of an append that stopped
// short, and is skipped.
// fn also gets the note of the line (by the offset where it begins).
template <class Fn>
void each_line(std::string& text, const journal_notes& notes, Fn fn) {
  char* p = text.data();
  char* end = p + text.size() - 1;  // the NUL added by load_journal
  while (p < end) {
    char* nl = static_cast<char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (!nl) return;
    *nl = '\0';
    auto note = notes.find(static_cast<long long>(p - text.data()));
    if (note == notes.end()) {
      if (!fn(record_start(p), line_note{})) return;
    } else if (!note->second.skip) {
      if (!fn(record_start(p), note->second)) return;
    }
    p = nl + 1;
  }
}

// Puts line in place of line note.line of the planned file path; false when
// that file has no such line (the line is appended then, as without notes).
bool replace_planned(replay_plan& plan, const std::string& path, const line_note& note, const char* line) {
  if (note.line < 0) return false;
  planned_target* t = plan.find_target(path);
  if (!t || static_cast<std::size_t>(note.line) >= t->lines.size()) return false;
  t->lines[static_cast<std::size_t>(note.line)].text = line;
  return true;
}

// One append of line to file in the PESEL-base folder of key, its six
// folders made first. A key without a path in the tree is left out.
void add_pesel_append(replay_plan& plan, const char* key, const char* file, const char* line) {
  char dir[fmt::path_size];
  if (make_path_pesel(key, dir) != 0) return;
  std::string_view leaf(dir);
  std::string target = std::string(leaf) + file;
  leaf.remove_suffix(1);  // the trailing '/'
  std::vector<std::string_view> chain(pesel_levels);
  std::string_view level = leaf;
  for (std::size_t k = pesel_levels; k-- > 0;) {
    chain[k] = level;
    level = level.substr(0, level.rfind('/'));
  }
  plan.add(chain, target, line);
}

// One append of line to file in the UID32 entry of key, the entry made first.
void add_entry_append(replay_plan& plan, const char* key, const char* file, std::string_view line) {
  char dir[fmt::path_size];
  if (uid32_entry_path(key, dir, sizeof dir) != 0) return;
  std::string target = std::string(dir) + "/" + file;
  plan.add({std::string_view(dir)}, target, line);
}

phase_result begin(const replay_plan& plan) { return {plan.next_seq(), plan.next_seq(), nullptr}; }

phase_result finish(const replay_plan& plan, phase_result r, const char* stop_cause) {
  r.end_seq = plan.next_seq();
  r.stop_cause = stop_cause;
  return r;
}

}  // namespace

phase_result plan_pesel_phase(replay_plan& plan, const char* journal, const char* file,
                              const char* no_source, const char* bad_line) {
  phase_result r = begin(plan);
  std::size_t size = 0;
  std::string* text = load_journal(plan, journal, size);
  if (!text) return finish(plan, r, no_source);
  const char* stop = nullptr;
  each_line(*text, load_notes(journal), [&](char* line, const line_note&) {
    char key[fmt::line_size];
    int got = select_value(line, "PESEL", key);
    if (got == field_absent) {
      stop = bad_line;
      return false;
    }
    if (got == field_found) add_pesel_append(plan, key, file, line);
    return true;
  });
  return finish(plan, r, stop);
}

phase_result plan_department_phase(replay_plan& plan, const char* journal, const char* no_source) {
  phase_result r = begin(plan);
  std::size_t size = 0;
  std::string* text = load_journal(plan, journal, size);
  if (!text) return finish(plan, r, no_source);
  each_line(*text, load_notes(journal), [&](char* line, const line_note& note) {
    for (const char* field : {"NIP", "REGON"}) {
      char key[fmt::line_size];
      char dir[fmt::path_size];
      if (select_value(line, field, key) != field_found || is_null_value(key)) continue;
      // A block's line goes in place of the one it changed.
      if (make_path_pesel(key, dir) == 0 && replace_planned(plan, std::string(dir) + fname::firm, note, line))
        continue;
      add_pesel_append(plan, key, fname::firm, line);
    }
    return true;
  });
  return finish(plan, r, nullptr);
}

phase_result plan_uid32_phase(replay_plan& plan, const char* journal, const char* no_source,
                              const char* bad_line) {
  phase_result r = begin(plan);
  std::size_t size = 0;
  std::string* text = load_journal(plan, journal, size);
  if (!text) return finish(plan, r, no_source);
  const char* stop = nullptr;
  each_line(*text, load_notes(journal), [&](char* line, const line_note& note) {
    char key[fmt::line_size];
    // A user line names its own entry (UIDP); a node line only the firm's.
    const char* file = fname::user;
    int got = select_value(line, "UIDP", key);
    if (got == field_absent) {
      file = fname::node;
      got = select_value(line, "UID32", key);
    }
    if (got == field_absent) {
      stop = bad_line;
      return false;
    }
    if (got != field_found) return true;
    char dir[fmt::path_size];
    if (uid32_entry_path(key, dir, sizeof dir) == 0 &&
        replace_planned(plan, std::string(dir) + "/" + file, note, line))
      return true;
    add_entry_append(plan, key, file, line);
    return true;
  });
  return finish(plan, r, stop);
}

phase_result plan_address_phase(replay_plan& plan, const char* journal, const char* no_source,
                                const char* no_uid32, const char* no_address) {
  phase_result r = begin(plan);
  std::size_t size = 0;
  std::string* text = load_journal(plan, journal, size);
  if (!text) return finish(plan, r, no_source);
  std::size_t records = size / ip_record;  // a partial last record is never read
  for (std::size_t i = 0; i < records; ++i) {
    // The record's text ends at its NUL, or at its 65th byte at the latest.
    char record[ip_record + 1];
    std::memcpy(record, text->data() + i * ip_record, ip_record);
    record[ip_record] = '\0';
    char key[fmt::line_size];
    if (select_value(record, "UID32", key) != field_found) return finish(plan, r, no_uid32);
    char address[ip_record + 1];
    if (select_value(record, "IPADDR", address) != field_found) return finish(plan, r, no_address);
    // An address with a line break would give ip.q two lines: left out.
    if (std::strchr(address, '\n')) continue;
    std::string& line = plan.keep_text("IPADDR=" + std::string(address) + "&");
    add_entry_append(plan, key, fname::address, line);
  }
  return finish(plan, r, nullptr);
}

phase_result plan_start_phase(replay_plan& plan, const char* journal, const char* no_source,
                              const char* bad_line) {
  phase_result r = begin(plan);
  std::size_t size = 0;
  std::string* text = load_journal(plan, journal, size);
  if (!text) return finish(plan, r, no_source);
  const char* stop = nullptr;
  each_line(*text, load_notes(journal), [&](char* line, const line_note&) {
    char code[fmt::line_size];
    int got = select_value(line, "CODE", code);
    if (got == field_absent) {
      stop = bad_line;
      return false;
    }
    char dir[fmt::path_size];
    if (got == field_found && start_code_dir(code, dir, sizeof dir) == 0)
      plan.add({}, std::string(dir) + "/scode.q", line);
    return true;
  });
  return finish(plan, r, stop);
}
