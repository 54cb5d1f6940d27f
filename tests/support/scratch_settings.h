// Tests that call the store or a handler in their own process: the four
// trees of the settings pointed into a scratch folder, each made empty, and
// the settings put back to their defaults however the test ends.
#pragma once
#include <gtest/gtest.h>

#include "tests/support/server_fixture.h"

namespace testing_support {

class scratch_settings : public ::testing::Test {
 protected:
  // dir/UID32BASE, dir/PESEL, dir/LIST and dir/START.
  void SetUp() override;
  void TearDown() override;
  temp_dir dir;
};

}  // namespace testing_support
