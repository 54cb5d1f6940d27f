#include "registry/request_keys.h"

#include <cstring>
#include <string_view>

#include "base/format.h"
#include "registry/user_record.h"
#include "store/lines.h"
#include "store/paths.h"
#include "wire/message.h"

void key_set::add(char kind, const char* value) {
  std::string_view v(value);
  if (v.empty() || v == "null" || v == "NULL" || count == max_keys || v.size() + 3 > key_size) return;
  char key[key_size];
  key[0] = kind;
  key[1] = ':';
  std::memcpy(key + 2, v.data(), v.size());
  key[v.size() + 2] = '\0';
  for (std::size_t i = 0; i < count; ++i)
    if (std::strcmp(keys[i], key) == 0) return;
  std::memcpy(keys[count++], key, v.size() + 3);
}

bool key_set::meets(const key_set& other) const {
  for (std::size_t i = 0; i < count; ++i)
    for (std::size_t j = 0; j < other.count; ++j)
      if (std::strcmp(keys[i], other.keys[j]) == 0) return true;
  return false;
}

namespace {

// Fields longer than any stored value read as "NULL" and give no key.
using field = char[key_set::key_size - 2];

void add_field(key_set& k, char kind, const char* message, const char* name) {
  field v;
  if (select_value(message, name, v) == field_found) k.add(kind, v);
}

// The UID32 of the last line of the firm's primary pesel.nod: the entry whose
// node.q a block of the firm rewrites.
void add_firm_entry(key_set& k, const char* message) {
  field nip, regon;
  select_value(message, "NIP", nip);
  select_value(message, "REGON", regon);
  const char* primary = !is_null_value(nip) ? nip : regon;
  char dir[fmt::path_size], path[fmt::path_size], line[fmt::line_size];
  if (make_path_pesel(primary, dir) != 0 || join_path(dir, fname::firm, path, sizeof path) != 0 ||
      read_last_line(path, line, sizeof line) != line_found)
    return;
  add_field(k, 'U', line, "UID32");
}

// The entries of the user a central block writes to and notifies for.
void add_user_entries(key_set& k, const char* message) {
  field pesel;
  user_line line;
  if (select_value(message, "PESEL", pesel) != field_found || read_user_from_pesel(pesel, line) != 0) return;
  add_field(k, 'U', line, "UID32");
  // UIDP before EUIDP: its key also matches inside "EUIDP=".
  add_field(k, 'U', line, "UIDP");
}

}  // namespace

key_set request_keys(const char* message) {
  key_set k;
  char op[40] = "";
  select_value(message, "OP", op);
  std::string_view o(op);
  if (o == "add_department" || o == "block_department") {
    add_field(k, 'F', message, "NIP");
    add_field(k, 'F', message, "REGON");
    if (o == "block_department") add_firm_entry(k, message);
  } else if (o == "block_user_by_central_admin") {
    add_field(k, 'P', message, "PESEL");
    add_user_entries(k, message);
  } else if (o == "add_usr" || o == "block_user") {
    add_field(k, 'P', message, "PESEL");
    add_field(k, 'U', message, "UID32");
    add_field(k, 'U', message, "UIDP");
  } else if (o == "check_user") {
    add_field(k, 'U', message, "UID32");
    add_field(k, 'U', message, "UIDP");
  } else if (o == "get_dep_data" || o == "get_node" || o == "add_ip_node") {
    add_field(k, 'U', message, "UID32");
  }
  return k;
}
