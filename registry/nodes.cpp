#include "registry/nodes.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "base/format.h"
#include "base/io.h"
#include "base/owners.h"
#include "store/file_cache.h"
#include "store/lines.h"
#include "store/paths.h"
#include "store/replace.h"
#include "store/settings.h"
#include "wire/message.h"
#include "wire/reply.h"

namespace {

// Records read per pread while list_ip.nq is searched.
constexpr std::size_t records_per_read = 64;

// A file of the entry uid32 into out[fmt::path_size]; -1 when the key is unsafe.
int entry_file(const char* uid32, const char* name, char* out) {
  char entry[fmt::path_size];
  if (uid32_entry_path(uid32, entry, sizeof entry) != 0) return -1;
  return join_path(entry, name, out, fmt::path_size);
}

// Index of the whole record of list_ip.nq whose UID32 is uid32, the number of
// whole records when there is none, or -1 on a read error.
long find_ip_record(int fd, std::string_view uid32) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  const long count = static_cast<long>(st.st_size / static_cast<off_t>(ip_record_size));
  const long step = static_cast<long>(records_per_read);
  char block[records_per_read * ip_record_size];
  for (long first = 0; first < count; first += step) {
    long n = count - first < step ? count - first : step;
    off_t at = static_cast<off_t>(first) * static_cast<off_t>(ip_record_size);
    if (!read_exact(fd, block, static_cast<std::size_t>(n) * ip_record_size, at)) return -1;
    for (long i = 0; i < n; ++i) {
      // A record's text ends at its NUL; one without a NUL ends with the record.
      char text[ip_record_size + 1];
      std::memcpy(text, block + static_cast<std::size_t>(i) * ip_record_size, ip_record_size);
      text[ip_record_size] = '\0';
      char value[ip_record_size + 1];
      if (select_value(text, "UID32", value) == field_found && uid32 == value) return first + i;
    }
  }
  return count;
}

}  // namespace

int check_ip_form(const char* address) {
  std::string_view a(address);
  std::size_t dots = 0;
  for (char c : a)
    if (c == '.') ++dots;
  return dots == 3 ? 1 : 0;
}

namespace {

// What list_ip.nq held where a UID32's record goes: its place, and the old
// record when there was one (else the file's old size, to cut back to).
struct ip_slot {
  off_t at = 0;
  off_t old_size = 0;
  bool had_record = false;
  char old[ip_record_size];
};

int write_ip_record(const char* uid32, const char* address, ip_slot* slot) {
  // The record: its text, a NUL, then '0' up to the record size.
  char record[ip_record_size];
  std::memset(record, '0', sizeof record);
  char text[ip_record_size];
  text_builder t(text);
  t.field("UID32", uid32).field("IPADDR", address);
  if (!t.ok()) return -1;
  std::memcpy(record, text, t.size() + 1);

  char path[fmt::path_size];
  if (join_path(list_base, fname::address_list, path, sizeof path) != 0) return -1;
  ip_slot here;
  {
    unique_fd fd(::open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0666));
    if (!fd) return -1;
    // A new UID32 goes after the last whole record, over any torn tail.
    long index = find_ip_record(fd.get(), uid32);
    if (index < 0) return -1;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return -1;
    here.at = static_cast<off_t>(index) * static_cast<off_t>(ip_record_size);
    here.old_size = st.st_size;
    here.had_record = here.at + static_cast<off_t>(ip_record_size) <= st.st_size &&
                      read_exact(fd.get(), here.old, sizeof here.old, here.at);
  }
  if (slot) *slot = here;
  return write_record_at(path, record, sizeof record, here.at) == 0 ? 1 : -1;
}

// Puts back what write_ip_record replaced.
void restore_ip_record(const ip_slot& slot) {
  char path[fmt::path_size];
  if (join_path(list_base, fname::address_list, path, sizeof path) != 0) return;
  if (slot.had_record) {
    write_record_at(path, slot.old, sizeof slot.old, slot.at);
    return;
  }
  file_cache_forget(path);
  if (::truncate(path, slot.old_size) != 0) std::perror("truncate");
}

}  // namespace

int ip_backup(const char* uid32, const char* address) { return write_ip_record(uid32, address, nullptr); }

int save_ip_addr(const char* uid32, const char* address) {
  char path[fmt::path_size];
  if (entry_file(uid32, fname::address, path) != 0) return -1;
  char line[fmt::line_size];
  text_builder b(line);
  b.field("IPADDR", address).add("\n");
  if (!b.ok()) return -1;
  // Only an existing entry takes an address: the entry directory is not made.
  struct stat st;
  char entry[fmt::path_size];
  if (uid32_entry_path(uid32, entry, sizeof entry) != 0 || ::stat(entry, &st) != 0 || !S_ISDIR(st.st_mode))
    return -1;
  // The journal record first, then a whole new ip.q renamed over the old one;
  // when ip.q cannot be replaced the old record is put back, so a refusal
  // leaves the old address in both places.
  ip_slot slot;
  if (write_ip_record(uid32, address, &slot) < 0) return -1;
  if (replace_with_text(path, line, b.size()) == 0) return 0;
  restore_ip_record(slot);
  return -1;
}

int add_ip_node(char* message, char* reply) {
  char uid32[fmt::id_len + 1];
  char ipnode[fmt::ip_max + 1];
  // Absent and over-long values both read as "NULL": an address longer than
  // 15 characters would not fit its list_ip.nq record. A line break would
  // split the ip.q line.
  bool valid = select_value(message, "UID32", uid32) == field_found &&
               select_value(message, "IPNODE", ipnode) == field_found && check_ip_form(ipnode) == 1 &&
               !std::strchr(ipnode, '\n');
  if (!valid) return reply_refused(reply, "add_ip_node", "incorrect_qvector");
  if (save_ip_addr(uid32, ipnode) < 0) return reply_refused(reply, "add_ip_node", "no_file");
  return reply_done(reply, "add_ip_node");
}

int read_node_address(const char* uid32, char* out) {
  copy_text(out, fmt::peer_size, "null");
  char path[fmt::path_size];
  if (entry_file(uid32, fname::address, path) != 0) return -1;
  char line[fmt::line_size];
  if (read_first_line(path, line, sizeof line) != line_found) return -1;
  char address[fmt::peer_size];
  if (select_value(line, "IPADDR", address) != field_found) return -1;
  copy_text(out, fmt::peer_size, address);
  return 0;
}

node_data get_node_data(const char* uid32, const char* dep, char* out) {
  copy_text(out, fmt::line_size, "null");
  char path[fmt::path_size];
  if (entry_file(uid32, fname::node, path) != 0) return node_data::no_department;
  char line[fmt::line_size];
  if (read_last_line_containing(path, dep, line, sizeof line) != line_found) return node_data::no_department;
  char address[fmt::peer_size];
  if (read_node_address(uid32, address) != 0) return node_data::no_address;
  text_builder b(out, fmt::line_size);
  b.field("LIP", address).add(line);
  if (!b.ok()) {
    copy_text(out, fmt::line_size, "null");
    return node_data::too_long;
  }
  return node_data::found;
}

int get_node(char* message, char* reply) {
  constexpr char op[] = "get_node";
  char uid32[fmt::id_len + 1];
  char dep[fmt::dep_max + 1];
  if (select_value(message, "UID32", uid32) != field_found || select_value(message, "DEP", dep) != field_found)
    return reply_refused(reply, op, "incorrect_qvector");
  char text[fmt::line_size];
  switch (get_node_data(uid32, dep, text)) {
    case node_data::no_address: return reply_refused(reply, op, "no_ip_node");
    case node_data::no_department: return reply_refused(reply, op, "no_data_node");
    case node_data::too_long: return reply_refused(reply, op, "incorrect_qvector");
    case node_data::found: break;
  }
  // A stored line too long to travel with its address cannot be answered.
  if (reply_done(reply, op, text) != 0) return reply_refused(reply, op, "incorrect_qvector");
  return 0;
}
