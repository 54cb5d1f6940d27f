#include "registry/journal_notes.h"

#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/format.h"
#include "base/text.h"
#include "store/settings.h"

namespace {

// The journal name of a path in the list folder, nullptr for other paths.
const char* journal_of(const char* path) {
  std::string_view p(path), base(list_base);
  if (p.size() <= base.size() + 1 || p.substr(0, base.size()) != base || p[base.size()] != '/') return nullptr;
  return path + base.size() + 1;
}

int add_note(const char* journal, off_t at, const char* field, long value) {
  char at_text[24], value_text[24];
  *std::to_chars(at_text, at_text + sizeof at_text - 1, static_cast<long long>(at)).ptr = '\0';
  *std::to_chars(value_text, value_text + sizeof value_text - 1, value).ptr = '\0';
  char line[fmt::line_size];
  text_builder b(line);
  b.field("JOURNAL", journal).field("AT", at_text).field(field, value_text);
  if (!b.ok()) return -1;
  return add_text_line(list_base, fname::journal_notes, line);
}

}  // namespace

int note_in_place(const char* journal, off_t at, long line) { return add_note(journal, at, "LINE", line); }

void note_unreached(const append_log& written) {
  // A copy: the notes are appends, which the log may record as well.
  const std::vector<append_log::entry> left = written.entries();
  for (const append_log::entry& e : left) {
    const char* journal = journal_of(e.path);
    if (journal && std::strcmp(journal, fname::journal_notes) != 0) add_note(journal, e.begin, "SKIP", 1);
  }
}

void take_back_request(append_log& written) {
  written.undo_outside(list_base);
  note_unreached(written);
}

off_t last_append_at(const append_log& written, const char* journal) {
  const auto& all = written.entries();
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    const char* j = journal_of(it->path);
    if (j && std::strcmp(j, journal) == 0) return it->begin;
  }
  return -1;
}
