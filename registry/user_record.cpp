#include "registry/user_record.h"

#include <cstring>
#include <string_view>
#include <sys/stat.h>

#include "base/format.h"
#include "ids/checks.h"
#include "registry/journal_notes.h"
#include "store/append.h"
#include "store/date_field.h"
#include "store/lines.h"
#include "store/paths.h"
#include "store/settings.h"
#include "wire/message.h"

namespace {

// One field of a user text into dst[cap]. False when the field fails the
// record: missing (required only), over its limit, or holding a line break,
// which would split the stored line in two.
bool read_user_field(const char* text, const char* key, char* dst, std::size_t cap, bool required) {
  // A text of three characters or fewer leaves dst as it was: start absent.
  copy_text(dst, cap, "NULL");
  int r = select_value(text, key, dst, cap);
  if (r == field_too_long) {
    copy_text(dst, cap, "null");
    return false;
  }
  if (is_absent_field(dst)) {
    copy_text(dst, cap, "null");
    return !required;
  }
  return std::strchr(dst, '\n') == nullptr;
}

// Closes a composed line with the DATE field, or leaves it without one when
// the clock cannot be read, and checks the record limit.
int finish_line(text_builder& b, user_line& out) {
  char date[24];
  if (get_time(date) == 0) b.add(date);
  if (!b.ok() || b.size() > fmt::line_max) {
    out[0] = '\0';
    return -1;
  }
  return 0;
}

// The PESEL-base path ends in '/'; names are joined with one of their own.
void drop_trailing_slash(char* dir) {
  std::size_t len = std::strlen(dir);
  if (len > 1 && dir[len - 1] == '/') dir[len - 1] = '\0';
}

}  // namespace

int strip_user_string(const char* text, user_field& uid32, user_field& euid, user_field& uidp,
                      user_field& euidp, user_field& pesel, user_field& dep, user_name& name,
                      user_field& stat, user_field& range, user_field& act) {
  bool ok = true;
  // Every field is read even after a failure, so all buffers are filled.
  ok &= read_user_field(text, "UID32", uid32, sizeof uid32, true);
  ok &= read_user_field(text, "EUID", euid, sizeof euid, true);
  ok &= read_user_field(text, "UIDP", uidp, sizeof uidp, true);
  ok &= read_user_field(text, "EUIDP", euidp, sizeof euidp, true);
  ok &= read_user_field(text, "DEP", dep, sizeof dep, true);
  ok &= read_user_field(text, "NAME", name, sizeof name, true);
  ok &= read_user_field(text, "STAT", stat, sizeof stat, true);
  ok &= read_user_field(text, "RANGE", range, sizeof range, false);
  ok &= read_user_field(text, "ACT", act, sizeof act, false);
  ok &= read_user_field(text, "PESEL", pesel, sizeof pesel, true);
  if (check_form_pesel(pesel) != 1) ok = false;
  return ok ? 1 : 0;
}

int create_user_qstring_full(const char* uid32, const char* euid, const char* uidp, const char* euidp,
                             const char* pesel, const char* dep, const char* name, const char* stat,
                             const char* range, const char* act, user_line& out) {
  text_builder b(out);
  b.field("UID32", uid32).field("EUID", euid).field("UIDP", uidp).field("EUIDP", euidp);
  b.field("PESEL", pesel).field("DEP", dep).field("NAME", name).field("STAT", stat);
  b.field("RANGE", range).field("ACT", act);
  return finish_line(b, out);
}

int create_user_small_string(const char* uid32, const char* euid, const char* uidp, const char* euidp,
                             const char* pesel, const char* dep, const char* name, const char* stat,
                             user_line& out) {
  text_builder b(out);
  b.field("UID32", uid32).field("EUID", euid).field("UIDP", uidp).field("EUIDP", euidp);
  b.field("PESEL", pesel).field("DEP", dep).field("NAME", name).field("STAT", stat);
  return finish_line(b, out);
}

int save_user_to_structures(const char* uidp, const char* pesel, const char* line) {
  if (std::strlen(line) > fmt::line_max) return -1;

  char entry[fmt::path_size];
  char users[fmt::path_size];
  if (uid32_entry_path(uidp, entry, sizeof entry) != 0 || join_path(entry, fname::user, users, sizeof users) != 0)
    return -1;
  // Only the entry is made; a missing letter level fails the append.
  append_log written;
  if (add_string_making_dirs(users, line, [&entry] { ::mkdir(entry, 0755); }) != 0) return -1;

  char person[fmt::path_size];
  char person_users[fmt::path_size];
  if (make_path_pesel(pesel, person) != 0) return -1;
  drop_trailing_slash(person);
  if (join_path(person, fname::person_users, person_users, sizeof person_users) != 0) return -1;
  if (add_string_making_dirs(person_users, line, [pesel] { make_dir_pesel(pesel); }) != 0) return -1;

  // A version the journals miss would be lost by a rebuild: the whole
  // version is taken back and the request refused.
  if (add_text_line(list_base, fname::users_journal, line) != 0 ||
      add_text_line(list_base, fname::entries_journal, line) != 0) {
    take_back_request(written);
    return -1;
  }
  return 0;
}

int check_user_pesel(const char* pesel, user_line& out) {
  if (std::strlen(pesel) != fmt::pesel_len) {
    copy_text(out, "null");
    return -2;
  }
  char dir[fmt::path_size];
  char path[fmt::path_size];
  bool placed = make_path_pesel(pesel, dir) == 0;
  if (placed) drop_trailing_slash(dir);
  if (!placed || join_path(dir, fname::person_users, path, sizeof path) != 0 ||
      read_last_line(path, out, sizeof out) != line_found) {
    // No file, or a file without a line: a person without users.
    copy_text(out, "null");
    return -1;
  }
  return 0;
}

int read_user_from_pesel(const char* pesel, user_line& out) {
  if (check_user_pesel(pesel, out) != 0) return -1;
  std::size_t len = std::strlen(out);
  // Only a line past the record limit leaves no room for its newline; such a
  // line was never written by this server and is not taken as a record.
  if (len > fmt::line_max) {
    copy_text(out, "null");
    return -1;
  }
  out[len] = '\n';
  out[len + 1] = '\0';
  return 0;
}
