// Writing a replay plan: each target file is opened once and receives all its
// lines in one write, instead of one open, append and close per line.
#pragma once
#include <cstdint>

#include "admin/replay_plan.h"

// Writes the plan's targets in order of their first append, making each
// target's folders first (mkdir 0755 under the file-creation mask; folders
// kept by the clearing are not made again). A kept file gets exactly the new
// lines; any other target is appended to, created 0666 when missing. Returns
// no_seq, or the sequence number of the first append that failed: the trees
// then hold exactly what a line-by-line replay leaves when that append fails
// (earlier lines written, later ones not, kept entries that the replay would
// not have reached removed).
std::uint64_t write_plan(replay_plan& plan);
