#include "registry/department_query.h"

#include "base/format.h"
#include "registry/department_record.h"
#include "registry/nodes.h"
#include "store/lines.h"
#include "store/paths.h"
#include "wire/message.h"

namespace {


void refuse(char* reply, const char* cause) {
  text_builder(reply, fmt::message_size).add("RE=get_dep_data&STATUS=refused&").field("CP", cause);
}

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

  char l_uid32[dpt_stored_field_size], l_euid[dpt_stored_field_size], l_name[dpt_name_size];
  char l_dep[dpt_stored_field_size], l_nip[dpt_stored_field_size], l_regon[dpt_stored_field_size];
  char l_puid[dpt_stored_field_size], l_portp[dpt_stored_field_size];
  char l_portq[dpt_stored_field_size], l_nodes[dpt_stored_field_size];
  strip_dpt_string(line, l_uid32, l_euid, l_name, l_dep, l_nip, l_regon, l_puid, l_portp, l_portq,
                   l_nodes);
  for (const char* v : {l_uid32, l_euid, l_puid, l_portp, l_portq, l_nodes})
    if (is_null_value(v)) return -1;
  char date[dpt_stored_field_size];
  if (select_value(line, "DATE", date) != field_found) copy_text(date, "null");

  text_builder b(out, fmt::line_size);
  b.field("UID32", l_uid32).field("EUID", l_euid).field("DEP", l_dep).field("LIP", address);
  b.field("PUID", l_puid).field("PORTP", l_portp).field("PORTQ", l_portq).field("NODES", l_nodes);
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
  if (select_value(message, "DEP", dep) != field_found ||
      select_value(message, "UID32", uid32) != field_found) {
    refuse(reply, "incorrect_qvector");
    return -1;
  }
  char text[fmt::line_size];
  if (read_dep_data_in_UID32BASE(dep, uid32, text) != 0) {
    refuse(reply, "no_file");
    return -1;
  }
  text_builder b(reply, fmt::message_size);
  b.add("RE=get_dep_data&STATUS=done&").add(text);
  if (!b.ok()) {
    refuse(reply, "no_file");
    return -1;
  }
  return 0;
}
