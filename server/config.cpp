#include "server/config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "base/format.h"
#include "base/owners.h"
#include "store/settings.h"
#include "wire/message.h"

namespace {

// A value too long for its setting is ignored: the setting keeps its value.
template <std::size_t N>
void set_if_present(char (&setting)[N], const char* value) {
  if (!is_absent_field(value) && std::strlen(value) < N) copy_text(setting, value);
}

void apply_base(const char* line, const char* key, char (&mount)[20], char* folder,
                std::size_t folder_cap) {
  char value[1000];
  char dir[1000];
  select_value(line, key, value);
  set_if_present(mount, value);
  select_value(line, "DIR", dir);
  if (is_absent_field(dir)) return;
  char path[fmt::path_size];
  text_builder b(path, folder_cap < sizeof path ? folder_cap : sizeof path);
  b.add("DISK/").add(dir);
  if (b.ok()) copy_text(folder, folder_cap, path);
}

// Runs cmd and reports whether needle occurs in a line of its output.
int command_lists(const char* cmd, const char* needle) {
  unique_pipe p(::popen(cmd, "re"));
  if (!p) return -1;
  char line[256];
  int found = 0;
  while (std::fgets(line, sizeof line, p.get()))
    if (std::strstr(line, needle)) found = 1;
  return found;
}

int run_command(const char* prefix, const char* device, const char* suffix, bool echo) {
  char cmd[256];
  text_builder b(cmd);
  b.add(prefix).add(device).add(suffix);
  if (!b.ok()) return -1;
  unique_pipe p(::popen(cmd, "re"));
  if (!p) return -1;
  char line[256];
  while (std::fgets(line, sizeof line, p.get()))
    if (echo) std::printf("%s\n", line);
  return 0;
}

void report_mount(const char* label, const char* value) {
  if (is_null_value(value))
    std::printf(" MOUNT POINT %s on system disk\n", label);
  else
    std::printf(" MOUNT POINT %s %s\n", label, value);
}

}  // namespace

namespace {

void apply_port(const char* line) {
  char value[1000];
  select_value(line, "PORT_CENTRAL", value);
  if (is_absent_field(value)) return;
  long p = parse_leading_long(value);
  port_central = p > 0x7fffffff ? 0x7fffffff : p < -0x7fffffff ? -0x7fffffff : static_cast<int>(p);
}

void apply_test(const char* line) {
  char value[1000] = "";
  select_value(line, "TEST", value);
  test_mode = std::strcmp(value, "1") == 0 ? 1 : 0;
}

// SYNC=1&: no reply before what it acknowledges is on the disk.
void apply_sync(const char* line) {
  char value[1000] = "";
  select_value(line, "SYNC", value);
  sync_writes = std::strcmp(value, "1") == 0 ? 1 : 0;
}

// One row per configuration key, applied in this order to every line that
// contains the key's name.
struct config_key {
  const char* name;
  void (*apply)(const char* line);
};
const config_key config_keys[] = {
    {"PORT_CENTRAL", apply_port},
    {"UIDBASE", [](const char* l) { apply_base(l, "UIDBASE", mount_point_UID, uid32base, sizeof uid32base); }},
    {"PESELBASE",
     [](const char* l) { apply_base(l, "PESELBASE", mount_point_PESEL, pesel_base, sizeof pesel_base); }},
    {"LISTBASE", [](const char* l) { apply_base(l, "LISTBASE", mount_point_LIST, list_base, sizeof list_base); }},
    {"STARTBASE",
     [](const char* l) { apply_base(l, "STARTBASE", mount_point_START, start_base, sizeof start_base); }},
    {"TEST", apply_test},
    {"SYNC", apply_sync},
};

}  // namespace

void apply_config_line(const char* line) {
  if (line[0] == '#') return;
  for (const config_key& key : config_keys)
    if (std::strstr(line, key.name)) key.apply(line);
}

int read_config_file() {
  unique_file f(std::fopen(config_file_name, "re"));
  if (!f) return -1;
  char line[1000];
  while (std::fgets(line, sizeof line, f.get())) apply_config_line(line);
  return 0;
}

int check_mount_points(char* device) {
  const char* points[] = {mount_point_UID, mount_point_PESEL, mount_point_LIST, mount_point_START};
  for (const char* p : points)
    if (is_null_value(p)) {
      copy_text(device, 20, "null");
      return 1;
    }
  for (const char* p : points)
    if (std::strcmp(p, points[0]) != 0) return 0;
  copy_text(device, 20, points[0]);
  return 1;
}

int check_partition_disk(const char* device) { return command_lists("fdisk -l", device); }
int check_mounted_disk(const char* device) { return command_lists("df -h", device); }
int umount_disk(const char* device) { return run_command("umount ", device, "", false); }
int mmount_disk(const char* device) { return run_command("mount ", device, " DISK", true); }

int mount_folders() {
  if (read_config_file() != 0) return -1;
  char device[20];
  if (check_mount_points(device) == 0) return -1;
  if (is_null_value(device)) return 0;
  if (check_partition_disk(device) == 0) {
    std::printf("\n %s in config is not connected!\n", device);
    return -1;
  }
  if (check_mounted_disk(device) != 0) umount_disk(device);
  ::sleep(1);
  mmount_disk(device);
  return 0;
}

void print_config_report() {
  std::printf("\n");
  report_mount("UID:  ", mount_point_UID);
  report_mount("PESEL:", mount_point_PESEL);
  report_mount("LIST: ", mount_point_LIST);
  report_mount("START:", mount_point_START);
  std::printf(" CENTRAL PORT:      %d\n", port_central);
  std::printf(" FOLDER UID:        %s\n", uid32base);
  std::printf(" FOLDER PESEL:      %s\n", pesel_base);
  std::printf(" FOLDER LIST:       %s\n", list_base);
  std::printf(" FOLDER START:      %s\n", start_base);
  std::printf(" TEST:              %d\n\n", test_mode);
}

int read_config() {
  if (::getuid() != 0) {
    std::printf("\n Login as root!\n");
    std::exit(0);
  }
  if (mount_folders() != 0) {
    std::printf("\n ERROR: incorrct %s\n", config_file_name);
    return -1;
  }
  print_config_report();
  return 0;
}
