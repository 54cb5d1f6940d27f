#include "registry/users.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "base/format.h"
#include "ids/uid.h"
#include "registry/user_record.h"
#include "store/lines.h"
#include "store/paths.h"
#include "wire/message.h"
#include "wire/reply.h"

namespace {

constexpr char admin_range[] = "11111111";

// The last line of name in the UID32 entry of key. False when the key would
// leave the base, or the file is missing or holds no line.
bool read_entry_last_line(const char* key, const char* name, char (&line)[fmt::line_size]) {
  char entry[fmt::path_size];
  char path[fmt::path_size];
  return uid32_entry_path(key, entry, sizeof entry) == 0 && join_path(entry, name, path, sizeof path) == 0 &&
         read_last_line(path, line, sizeof line) == line_found;
}

// True when the line carries key with exactly the value expected.
bool field_equals(const char* line, const char* key, const char* expected) {
  user_field value;
  return select_value(line, key, value) == field_found && std::string_view(value) == expected;
}

}  // namespace

int check_user_in_uid32base(const char* uid32, const char* euid, const char* uidp, const char* euidp) {
  char line[fmt::line_size];
  if (!read_entry_last_line(uid32, fname::node, line)) return user_node_problem;
  if (!field_equals(line, "UID32", uid32) || !field_equals(line, "EUID", euid)) return user_node_problem;

  if (!read_entry_last_line(uidp, fname::user, line)) return user_node_problem;
  // Later tests overwrite earlier ones, so a user mismatch outranks a node one.
  int r = user_valid;
  if (!field_equals(line, "UID32", uid32)) r = user_node_problem;
  if (!field_equals(line, "EUID", euid)) r = user_node_problem;
  if (!field_equals(line, "UIDP", uidp)) r = user_blocked;
  if (!field_equals(line, "EUIDP", euidp)) r = user_blocked;
  return r;
}

int check_user(char* message, char* reply) {
  constexpr std::string_view op = "check_user";
  user_field uid32, euid, uidp, euidp;
  bool ok = true;
  // UIDP is read before EUIDP: its key also matches inside "EUIDP=".
  for (auto [key, dst] : {std::pair<const char*, char*>{"UID32", uid32}, {"EUID", euid}, {"UIDP", uidp},
                          {"EUIDP", euidp}}) {
    copy_text(dst, user_field_size, "NULL");
    if (select_value(message, key, dst, user_field_size) != field_found || is_absent_field(dst)) ok = false;
  }
  if (!ok) return reply_refused(reply, op, "incorrect_qvector");

  int r = check_user_in_uid32base(uid32, euid, uidp, euidp);
  if (r == user_node_problem) return reply_refused(reply, op, "blocked_node");
  if (r < 0) return reply_refused(reply, op, "blocked_user");
  return reply_done(reply, op);
}

int add_usr(char* message, char* reply) {
  constexpr std::string_view op = "add_usr";
  user_field uid32, euid, uidp, euidp, pesel, dep, stat, range, act;
  user_name name;
  if (strip_user_string(message, uid32, euid, uidp, euidp, pesel, dep, name, stat, range, act) != 1)
    return reply_refused(reply, op, "incorrect_qvector");

  user_line line;
  int known = check_user_pesel(pesel, line);
  if (known == 0) {
    // A known person keeps the stored identifiers, department and name; the
    // role and its values come from the request.
    user_field s_stat, s_range, s_act;
    strip_user_string(line, uid32, euid, uidp, euidp, pesel, dep, name, s_stat, s_range, s_act);
  } else if (known == -1) {
    // The request's EUIDP is the previous text the fresh one must differ from.
    if (gen_UID64T(uidp, euidp, 0) != 0) return reply_refused_bare(reply, op, "gen_error");
  } else {
    return reply_refused(reply, op, "incorrect_qvector");
  }

  bool admin = std::string_view(stat) == "admin";
  if (admin) {
    copy_text(range, admin_range);
    if (is_null_value(act)) copy_text(act, "A");
  } else {
    copy_text(stat, "user");
  }

  // The line is refused before anything is written when it, or the reply
  // that carries it, would not fit.
  if (create_user_qstring_full(uid32, euid, uidp, euidp, pesel, dep, name, stat, range, act, line) != 0 ||
      reply_done(reply, op, line) != 0)
    return reply_refused(reply, op, "incorrect_qvector");

  if (save_user_to_structures(uidp, pesel, line) != 0) return reply_refused(reply, op, admin ? "no_file[1]" : "no_file[2]");

  return reply_done(reply, op, line);
}
