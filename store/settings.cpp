#include "store/settings.h"

#include "base/text.h"

int port_central = 8809;
char port[20] = "8809";
char uid32base[fmt::path_size] = "DISK/UID32BASE";
char pesel_base[fmt::path_size] = "DISK/PESEL";
char list_base[256] = "DISK/LIST";
char start_base[256] = "DISK/START";
char mount_point_UID[20] = "null";
char mount_point_PESEL[20] = "null";
char mount_point_LIST[20] = "null";
char mount_point_START[20] = "null";
int test_mode = 0;
int sync_writes = 0;

void reset_settings() {
  port_central = 8809;
  copy_text(port, "8809");
  copy_text(uid32base, "DISK/UID32BASE");
  copy_text(pesel_base, "DISK/PESEL");
  copy_text(list_base, "DISK/LIST");
  copy_text(start_base, "DISK/START");
  copy_text(mount_point_UID, "null");
  copy_text(mount_point_PESEL, "null");
  copy_text(mount_point_LIST, "null");
  copy_text(mount_point_START, "null");
  test_mode = 0;
  sync_writes = 0;
}
