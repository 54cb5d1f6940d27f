// The restore done the plain way, one journal line at a time: "cp" for the
// counter file, "rm -fr DIR/*" for each clearing, one open-append-close per
// line through the store's primitives. Tests hold the real restore, which
// batches its work, to the trees this model leaves.
#pragma once
#include <string>

namespace testing_support {

// The reply restore_files_local gives, after doing the restore step by step.
std::string restore_line_by_line(const char* peer);

}  // namespace testing_support
