#include "registry/department_query.h"

#include "base/format.h"
#include "registry/department_record.h"
#include "registry/nodes.h"
#include "store/lines.h"
#include "store/paths.h"
#include "wire/message.h"
#include "wire/reply.h"

namespace {


constexpr char op[] = "get_dep_data";

}  // namespace

int read_dep_data_in_UID32BASE(const char* dep, const char* uid32, char* out) {
  copy_text(out, fmt::line_size, "null");
  if (is_null_value(dep) || is_null_value(uid32)) return -1;
  char address[fmt::peer_size];
  if (read_node_address(uid32, address) != 0) return -1;

  char entry[fmt::path_size];
  char path[fmt::path_size];
  if (uid32_entry_path(uid32, entry, sizeof entry) != 0 ||
      join_path(entry, fname::node, path, sizeof path) != 0)
    return -1;
  // The newest line wins; it is found from the end of the file.
  char line[fmt::line_size];
  if (read_last_line_containing(path, dep, line, sizeof line) != line_found) return -1;

  department d;
  d.read_line(line);
  for (const char* v : {d.uid32, d.euid, d.puid, d.portp, d.portq, d.nodes})
    if (is_null_value(v)) return -1;
  char date[dpt_stored_field_size];
  if (select_value(line, "DATE", date) != field_found) copy_text(date, "null");

  text_builder b(out, fmt::line_size);
  b.field("UID32", d.uid32).field("EUID", d.euid).field("DEP", d.dep).field("LIP", address);
  b.field("PUID", d.puid).field("PORTP", d.portp).field("PORTQ", d.portq).field("NODES", d.nodes);
  if (!is_null_value(date)) b.field("DATE", date);
  if (!b.ok()) {
    copy_text(out, fmt::line_size, "null");
    return -1;
  }
  return 0;
}

int get_dep_data(char* message, char* reply) {
  // Values wider than a DEP or a UID32 cannot name a department.
  char dep[fmt::dep_max + 1];
  char uid32[fmt::id_len + 1];
  if (select_value(message, "DEP", dep) != field_found || select_value(message, "UID32", uid32) != field_found)
    return reply_refused(reply, op, "incorrect_qvector");
  char text[fmt::line_size];
  if (read_dep_data_in_UID32BASE(dep, uid32, text) != 0 || reply_done(reply, op, text) != 0)
    return reply_refused(reply, op, "no_file");
  return 0;
}
