#include "registry/department_add.h"

#include <cstring>
#include <string_view>
#include <sys/stat.h>

#include "base/format.h"
#include "ids/uid.h"
#include "registry/department_record.h"
#include "registry/journal_notes.h"
#include "store/append.h"
#include "store/lines.h"
#include "store/paths.h"
#include "store/settings.h"
#include "wire/message.h"
#include "wire/reply.h"

namespace {

constexpr char op[] = "add_department";
constexpr std::string_view done_prefix = "RE=add_department&STATUS=done&";

// The three texts an add makes: the PESEL node line, the UID32 node line and
// the full department text of the reply.
struct dpt_texts {
  char pesel[fmt::line_size];
  char node[fmt::line_size];
  char full[fmt::line_size];
};

// The texts of d under its pair with the DATE field date; false when one
// would not be stored or answered whole.
bool make_texts(const department& d, const char* date, dpt_texts& t) {
  return make_department_text(department_text::pesel_line, d, date, t.pesel) == 0 &&
         make_department_text(department_text::node_line, d, date, t.node) == 0 &&
         make_department_text(department_text::full, d, date, t.full) == 0 &&
         done_prefix.size() + std::strlen(t.full) <= fmt::message_max;
}

// Whether the request's texts would fit under any pair, with a DATE field of
// the usual width: the same texts made with placeholders.
bool texts_fit(const department& r) {
  static constexpr char pair_sized[] = "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX";
  static constexpr char date_sized[] = "DATE=00000000-00:00:00&";
  department probe = r;
  copy_text(probe.uid32, pair_sized);
  copy_text(probe.euid, pair_sized);
  dpt_texts t;
  return make_texts(probe, date_sized, t);
}

// The pesel.nod of an identifier into out[fmt::path_size]; false for a refused key.
bool pesel_nod_path(const char* identifier, char* out) {
  char dir[fmt::path_size];
  if (make_path_pesel(identifier, dir) != 0) return false;
  text_builder b(out, fmt::path_size);
  b.add(dir).add(fname::firm);
  return b.ok();
}

int find_firm(const char* dep, const char* nip, const char* regon, char* uid32_out, char* euid_out) {
  copy_text(uid32_out, dpt_stored_field_size, "null");
  copy_text(euid_out, dpt_stored_field_size, "null");

  // The firm's file: the NIP's, else the REGON's. Both readers look from the
  // end of the file, so a firm with many lines costs no more than one (and
  // in the server the file stays open for the department's line).
  char path[fmt::path_size];
  char line[fmt::line_size];
  int found = line_no_file;
  for (const char* id : {nip, regon}) {
    if (is_null_value(id) || !pesel_nod_path(id, path)) continue;
    found = read_last_line_containing(path, dep, line, sizeof line);
    if (found != line_no_file) break;
  }
  if (found == line_no_file) return -1;

  department m;
  if (found == line_found) {
    // The last line holding the DEP text anywhere must be this department's.
    m.read_line(line);
    copy_text(uid32_out, dpt_stored_field_size, m.uid32);
    copy_text(euid_out, dpt_stored_field_size, m.euid);
    bool has_pair = !is_null_value(m.uid32) && !is_null_value(m.euid);
    bool same_dep = std::string_view(m.dep) == dep;
    if (same_dep && std::string_view(m.nip) == nip && has_pair) return 1;
    if (same_dep && std::string_view(m.regon) == regon && is_null_value(nip) && has_pair) return 1;
    return 0;
  }

  // A new department inherits the pair of the firm's most recent line; an
  // empty file counts as a last line without fields.
  if (read_last_line(path, line, sizeof line) != line_found) line[0] = '\0';
  m.read_line(line);
  copy_text(uid32_out, dpt_stored_field_size, m.uid32);
  copy_text(euid_out, dpt_stored_field_size, m.euid);
  if (is_null_value(m.uid32) || is_null_value(m.euid)) return 0;
  if (std::string_view(m.nip) == nip) return 1;
  if (std::string_view(m.regon) == regon) return 1;
  return 0;
}

}  // namespace

int check_dep_in_pesel_base(const char* dep, const char* nip, const char* regon, char* uid32_out,
                            char* euid_out) {
  return find_firm(dep, nip, regon, uid32_out, euid_out);
}

int add_node_to_pesel(const char* identifier, const char* line) {
  char path[fmt::path_size];
  if (!pesel_nod_path(identifier, path)) return -1;
  return add_string_making_dirs(path, line, [identifier] { make_dir_pesel(identifier); });
}

int add_node_to_uid32base(const char* uid32, const char* line) {
  char entry[fmt::path_size];
  char path[fmt::path_size];
  if (uid32_entry_path(uid32, entry, sizeof entry) != 0 || join_path(entry, fname::node, path, sizeof path) != 0)
    return -1;
  // Only the entry is made; a missing letter level fails the append.
  return add_string_making_dirs(path, line, [&entry] { ::mkdir(entry, 0755); });
}

int add_department(char* message, char* reply) {
  department r;
  if (r.read_request(message) == 0) return reply_refused(reply, op, "incorrect_qvector");
  // A request whose lines or reply could not be kept whole is refused as
  // malformed before the firm is looked at, whatever the firm's state.
  if (!texts_fit(r)) return reply_refused(reply, op, "incorrect_qvector");
  // The pair always comes from the firm's lines or from a fresh generation.
  if (find_firm(r.dep, r.nip, r.regon, r.uid32, r.euid) == 0)
    return reply_refused(reply, op, "incorrect_arguments");
  if (is_null_value(r.uid32) && is_null_value(r.euid) && gen_UID64T(r.uid32, r.euid, 0) != 0)
    return reply_refused(reply, op, "no_gen_UID");
  // Only a stored pair wider than an identifier can still overflow here.
  char date[24];
  dpt_texts t;
  if (!make_texts(r, date_now(date), t)) return reply_refused(reply, op, "incorrect_qvector");

  // A journal that misses a line refuses the request; the appends it made
  // are taken back, so a retry leaves one whole record in every place.
  append_log written;
  if (!is_null_value(r.nip) && add_node_to_pesel(r.nip, t.pesel) != 0)
    return reply_refused(reply, op, "no_file[1]");
  if (!is_null_value(r.regon) && add_node_to_pesel(r.regon, t.pesel) != 0)
    return reply_refused(reply, op, "no_file[2]");
  if (add_text_line(list_base, fname::firms_journal, t.pesel) != 0) {
    take_back_request(written);
    return reply_refused(reply, op, "no_file[4]");
  }
  if (add_node_to_uid32base(r.uid32, t.node) != 0) return reply_refused(reply, op, "no_file[3]");
  if (add_text_line(list_base, fname::entries_journal, t.node) != 0) {
    take_back_request(written);
    return reply_refused(reply, op, "no_file[5]");
  }

  return reply_done(reply, op, t.full);
}
