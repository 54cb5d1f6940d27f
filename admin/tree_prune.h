// Emptying the storage trees with direct calls, to the same effect as the
// shell's "rm -fr DIR/*": every entry of DIR whose name does not begin with
// '.' goes, with everything below it. Folders and files that the coming
// replay would make again are left in place instead (and marked kept in the
// plan), so a rebuild over an existing tree does not delete and recreate
// every folder; the replay then replaces the kept files' content.
#pragma once
#include <string>
#include <sys/types.h>

#include "admin/replay_plan.h"

// Empties folder as above. Kept folders get dir_mode and the caller's owner,
// as a fresh mkdir would give them. A missing folder is left missing.
void prune_folder(const std::string& folder, replay_plan& plan, mode_t dir_mode);
// The letter skeleton of the UID32 base or the start folder: sets the
// file-creation mask to 0, makes top (0777) when absent, writes top/name
// anew with the single line marker, makes the A..Z folders of three levels
// (0777, existing ones left as they are) and empties each third-level folder
// as prune_folder does.
void lay_letter_tree(const char* top, const char* marker, replay_plan& plan, mode_t dir_mode);
// Removes path and everything below it ("rm -fr path"); a symbolic link is
// removed, not followed.
void remove_path(const std::string& path);
