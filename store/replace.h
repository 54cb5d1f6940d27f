// Replacing a whole file so that it is never missing or half-written: the new
// content is completed in a temporary file beside the target, then renamed
// over it (a rename within one folder is atomic).
#pragma once

// Renames from over to. 0, or -1 (to then keeps its old content).
int replace_by_rename(const char* from, const char* to);
// Copies src into a temporary file in dst's folder and renames it over dst.
// 0, or -1 with dst unchanged.
int replace_with_copy(const char* src, const char* dst);
// Removes path; a missing file is fine. 0, or -1.
int remove_file(const char* path);
