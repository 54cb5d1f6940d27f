#include "tests/support/scratch_settings.h"

#include "base/text.h"
#include "store/settings.h"

namespace testing_support {

void scratch_settings::SetUp() {
  reset_settings();
  ASSERT_TRUE(copy_text(uid32base, dir / "UID32BASE"));
  ASSERT_TRUE(copy_text(pesel_base, dir / "PESEL"));
  ASSERT_TRUE(copy_text(list_base, dir / "LIST"));
  ASSERT_TRUE(copy_text(start_base, dir / "START"));
  for (const char* tree : {"UID32BASE", "PESEL", "LIST", "START"}) make_dirs(dir / tree);
}

void scratch_settings::TearDown() { reset_settings(); }

}  // namespace testing_support
