// Configuration lines and the choice of the device to mount.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "server/config.h"
#include "store/settings.h"

namespace {

class ConfigLines : public ::testing::Test {
 protected:
  void SetUp() override { reset_settings(); }
  void TearDown() override { reset_settings(); }
  static void apply(std::initializer_list<const char*> lines) {
    for (const char* l : lines) apply_config_line(l);
  }
};

TEST_F(ConfigLines, CommentsAndUnterminatedValuesChangeNothing) {
  apply({"#PORT_CENTRAL=9000&\n", "PORT_CENTRAL=9000\n", "UIDBASE=/dev/sdb1\n"});
  EXPECT_EQ(port_central, 8809);
  EXPECT_STREQ(mount_point_UID, "null");
}

TEST_F(ConfigLines, PortIsReadAsALeadingInteger) {
  apply({"PORT_CENTRAL= 9100x&\n"});
  EXPECT_EQ(port_central, 9100);
  apply({"PORT_CENTRAL=abc&\n"});
  EXPECT_EQ(port_central, 0);
}

TEST_F(ConfigLines, BaseLinesSetDeviceAndFolder) {
  apply({"UIDBASE=/dev/sdb1&DIR=U&\n", "PESELBASE=/dev/sdb1&\n", "STARTBASE=/dev/sdc&DIR=S/T&\n"});
  EXPECT_STREQ(mount_point_UID, "/dev/sdb1");
  EXPECT_STREQ(uid32base, "DISK/U");
  EXPECT_STREQ(mount_point_PESEL, "/dev/sdb1");
  EXPECT_STREQ(pesel_base, "DISK/PESEL");
  EXPECT_STREQ(start_base, "DISK/S/T");
}

TEST_F(ConfigLines, ValuesTooLongForTheirSettingAreIgnored) {
  std::string long_dir = "UIDBASE=/dev/sdb1&DIR=" + std::string(600, 'd') + "&\n";
  std::string long_device = "LISTBASE=/dev/" + std::string(30, 'x') + "&DIR=L&\n";
  apply({long_dir.c_str(), long_device.c_str()});
  EXPECT_STREQ(uid32base, "DISK/UID32BASE");
  EXPECT_STREQ(mount_point_UID, "/dev/sdb1");
  EXPECT_STREQ(mount_point_LIST, "null");
  EXPECT_STREQ(list_base, "DISK/L");
}

TEST_F(ConfigLines, TheLastLineMentioningTestDecides) {
  apply({"TEST=1&\n"});
  EXPECT_EQ(test_mode, 1);
  apply({"TEST=1&\n", "# a TEST of nothing\n"});
  EXPECT_EQ(test_mode, 1) << "a comment line is not applied";
  apply({"TEST=1&\n", "NOTE=TEST&\n"});
  EXPECT_EQ(test_mode, 0);
}

TEST_F(ConfigLines, MountPointsMustAgreeUnlessOneIsNull) {
  char device[20];
  apply({"UIDBASE=/dev/a&\n", "PESELBASE=/dev/a&\n", "LISTBASE=/dev/a&\n"});
  EXPECT_EQ(check_mount_points(device), 1);
  EXPECT_STREQ(device, "null");
  apply({"STARTBASE=/dev/a&\n"});
  EXPECT_EQ(check_mount_points(device), 1);
  EXPECT_STREQ(device, "/dev/a");
  apply({"STARTBASE=/dev/b&\n"});
  EXPECT_EQ(check_mount_points(device), 0);
}

}  // namespace
