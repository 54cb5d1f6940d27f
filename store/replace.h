// Replacing a whole file so that it is never missing or half-written: the new
// content is completed in a temporary file beside the target, then renamed
// over it (a rename within one folder is atomic).
#pragma once
#include <cstddef>
#include <sys/types.h>

// Renames from over to. 0, or -1 (to then keeps its old content).
int replace_by_rename(const char* from, const char* to);
// Copies src into a temporary file in dst's folder and renames it over dst.
// 0, or -1 with dst unchanged.
int replace_with_copy(const char* src, const char* dst);
// Writes text (n bytes) into a temporary file beside path and renames it over
// path: 0, or -1 with path keeping its old content.
int replace_with_text(const char* path, const char* text, std::size_t n);
// Writes the n bytes of record at offset at of path (created if missing)
// under the file's lock. On a failed write the file is put back as it was:
// old bytes rewritten, or the file cut back to its old end. 0, or -1.
int write_record_at(const char* path, const char* record, std::size_t n, off_t at);
// Removes path; a missing file is fine. 0, or -1.
int remove_file(const char* path);
