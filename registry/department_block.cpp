#include "registry/department_block.h"

#include <cstring>
#include <utility>
#include <vector>
#include <sys/stat.h>

#include "base/format.h"
#include "ids/uid.h"
#include "registry/department_record.h"
#include "registry/journal_notes.h"
#include "registry/nodes.h"
#include "store/append.h"
#include "store/line_reader.h"
#include "store/lines.h"
#include "store/paths.h"
#include "store/replace.h"
#include "store/settings.h"
#include "wire/client.h"
#include "wire/message.h"
#include "wire/reply.h"

namespace {


constexpr char op[] = "block_department";

// A stored department line, as the block reads it.
struct dept_line : department {
  explicit dept_line(const char* text) { read_line(text); }
};

bool chosen(const char* dep, const dept_line& line) { return is_null_value(dep) || std::strcmp(dep, line.dep) == 0; }

// The line's text of kind with a new EUID and today's DATE field.
int changed_text(department_text kind, const dept_line& line, const char* new_euid, char* out) {
  department changed = line;
  if (!copy_text(changed.euid, new_euid)) return -1;
  char date[24];
  return make_department_text(kind, changed, date_now(date), out);
}

// The other identifier recorded on the last line of a firm file into out
// ("null" for none); false when the file holds no line.
bool recorded_secondary(const char* path, bool by_nip, char (&out)[dpt_stored_field_size]) {
  line_reader reader(path);
  if (!reader.is_open()) return false;
  bool any = false;
  for (const char* text = reader.next(); text; text = reader.next()) {
    dept_line line(text);
    copy_text(out, by_nip ? line.regon : line.nip);
    any = true;
  }
  return any;
}

}  // namespace

int add_node_to_uid32base_tmp(const char* uid32, const char* line) {
  char entry[fmt::path_size];
  if (uid32_entry_path(uid32, entry, sizeof entry) != 0) return -1;
  ::mkdir(entry, 0755);
  return add_text_line(entry, fname::node_tmp, line);
}

int copy_tmp_to_uid32base(const char* uid32) {
  char entry[fmt::path_size], tmp[fmt::path_size], target[fmt::path_size];
  if (uid32_entry_path(uid32, entry, sizeof entry) != 0 || join_path(entry, fname::node_tmp, tmp, sizeof tmp) != 0 ||
      join_path(entry, fname::node, target, sizeof target) != 0)
    return -1;
  // A rename: node.q is never missing or half-written, and TMP is gone.
  if (replace_by_rename(tmp, target) == 0) return 0;
  remove_file(tmp);
  return -1;
}

int chg_euid_in_pesel_base(const char* dep, const char* nip, const char* regon, const char* new_euid,
                           char* uid32_out) {
  bool by_nip = !is_null_value(nip);
  const char* primary = by_nip ? nip : regon;
  const char* secondary = by_nip ? regon : nip;
  if (is_null_value(primary)) return -1;
  char dir[fmt::path_size], file[fmt::path_size], tmp[fmt::path_size];
  if (make_path_pesel(primary, dir) != 0 || join_path(dir, fname::firm, file, sizeof file) != 0 ||
      join_path(dir, fname::firm_tmp, tmp, sizeof tmp) != 0)
    return -1;
  // A firm file without a line has no UID32 to follow: refused before any change.
  char recorded[dpt_stored_field_size] = "null";
  if (!recorded_secondary(file, by_nip, recorded)) return -1;
  // The copy goes only to the firm's own other identifier. Any other one
  // named in the request would have its file (another firm's, or nobody's)
  // overwritten, so the request is refused before anything changes.
  if (!is_null_value(secondary) && std::strcmp(secondary, recorded) != 0) return -1;
  // Leftovers of an aborted rewrite must not enter this one.
  if (remove_file(tmp) != 0) return -1;

  {
    // A rewrite that never replaces the file takes its tree lines back and
    // notes its journal lines as reaching no tree; the half-made copy goes.
    append_log written;
    auto refuse = [&] {
      take_back_request(written);
      remove_file(tmp);
      return -1;
    };
    // Where each changed line's journal copy begins, and which line it replaces.
    std::vector<std::pair<off_t, long>> in_place;
    line_reader reader(file);
    if (!reader.is_open()) return -1;
    long index = 0;
    for (const char* text = reader.next(); text; text = reader.next(), ++index) {
      dept_line line(text);
      copy_text(uid32_out, dpt_stored_field_size, line.uid32);
      char changed[fmt::line_size];
      const char* out = text;
      if (chosen(dep, line)) {
        if (changed_text(department_text::pesel_line, line, new_euid, changed) != 0) return refuse();
        if (add_text_line(list_base, fname::firms_journal, changed) != 0) return refuse();
        in_place.emplace_back(last_append_at(written, fname::firms_journal), index);
        out = changed;
      }
      if (add_text_line(dir, fname::firm_tmp, out) != 0) return refuse();
    }
    if (replace_by_rename(tmp, file) != 0) return refuse();
    // The file has its new lines: the notes tell a rebuild where they go.
    for (auto [at, line] : in_place)
      if (note_in_place(fname::firms_journal, at, line) != 0) return -1;
  }

  if (is_null_value(recorded)) return 0;
  // The firm has a second identifier: its file becomes a copy of this one.
  // A request that leaves it out is refused after the rewrite, as before.
  char target_dir[fmt::path_size], target[fmt::path_size];
  if (is_null_value(secondary) || make_path_pesel(recorded, target_dir) != 0 ||
      join_path(target_dir, fname::firm, target, sizeof target) != 0)
    return -1;
  make_dir_pesel(recorded);
  return replace_with_copy(file, target);
}

int chg_euid_in_uid32base(const char* dep, const char* new_euid, const char* uid32) {
  char entry[fmt::path_size], file[fmt::path_size], tmp[fmt::path_size];
  if (uid32_entry_path(uid32, entry, sizeof entry) != 0 || join_path(entry, fname::node, file, sizeof file) != 0 ||
      join_path(entry, fname::node_tmp, tmp, sizeof tmp) != 0)
    return -1;
  char address[fmt::peer_size];
  if (read_node_address(uid32, address) != 0) return -1;
  line_reader reader(file);
  if (!reader.is_open()) return -1;
  if (remove_file(tmp) != 0) return -1;
  // As in the firm files: journal lines for a node.q that is not replaced
  // are noted as reaching no tree. Notices already sent cannot be taken back.
  append_log written;
  auto refuse = [&] {
    take_back_request(written);
    remove_file(tmp);
    return -1;
  };
  std::vector<std::pair<off_t, long>> in_place;

  long index = -1;
  for (const char* text = reader.next(); text; text = reader.next()) {
    ++index;
    dept_line line(text);
    if (std::strcmp(line.uid32, uid32) != 0 || !chosen(dep, line)) {
      if (add_text_line(entry, fname::node_tmp, text) != 0) return refuse();
      continue;
    }
    char changed[fmt::line_size];
    if (changed_text(department_text::node_line, line, new_euid, changed) != 0) return refuse();
    long port = parse_leading_long(line.puid);
    if (port == 0) return refuse();
    char notice[fmt::message_size];
    text_builder n(notice);
    n.add("OP=block_department&").field("DEP", line.dep).field("EUID", new_euid);
    char answer[fmt::message_size];
    // Notify first, record second: node.q changes only for a told server.
    if (!n.ok() || client_U(address, static_cast<int>(port), notice, answer) < 0 ||
        std::strstr(answer, "refused"))
      return refuse();
    if (add_node_to_uid32base_tmp(uid32, changed) != 0) return refuse();
    if (add_text_line(list_base, fname::entries_journal, changed) != 0) return refuse();
    in_place.emplace_back(last_append_at(written, fname::entries_journal), index);
  }
  if (copy_tmp_to_uid32base(uid32) != 0) return refuse();
  for (auto [at, line] : in_place)
    if (note_in_place(fname::entries_journal, at, line) != 0) return -1;
  return 0;
}

int block_department(char* message, char* reply) {
  char nip[dpt_request_field_size], regon[dpt_request_field_size], dep[dpt_request_field_size];
  if (strip_small_dpt_string(message, nip, regon, dep) == 0) return reply_refused(reply, op, "incorrect_qvector");
  char scratch[40];
  char new_euid[40] = "";
  if (gen_UID64T(scratch, new_euid, 0) != 0) return reply_refused(reply, op, "no_gen_UID");
  const char* first_code;
  const char* second_code;
  if (!is_null_value(nip)) {
    first_code = "no_file[1]", second_code = "no_file[2]";
  } else if (!is_null_value(regon)) {
    first_code = "no_file[3]", second_code = "no_file[4]";
  } else {
    return reply_refused(reply, op, "no_gen_UID");
  }
  char uid32[dpt_stored_field_size] = "null";
  if (chg_euid_in_pesel_base(dep, nip, regon, new_euid, uid32) < 0) return reply_refused(reply, op, first_code);
  if (chg_euid_in_uid32base(dep, new_euid, uid32) < 0) return reply_refused(reply, op, second_code);
  return reply_done(reply, op);
}
