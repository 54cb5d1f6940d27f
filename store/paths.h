// Where a key's records live. Every function that turns a key from a request
// or a stored line into a path refuses keys that would leave their tree, so
// nothing is ever read or written outside the data folders.
#pragma once
#include <cstddef>

// PESEL-base leaf directory of an 11-character field, with its trailing '/':
// pesel_base/f1f2/f3f4/f5f6/f7f8/f9f10/f11/ into out[512]. -1 without writing
// when the field is not 11 characters, a level holds '/' or is "." or "..",
// or the path does not fit.
int make_path_pesel(const char* field, char* out);
// Creates the six levels of that directory (mode 0755, existing ones kept);
// 0 even when a level cannot be made. -1 on the refusals of make_path_pesel.
int make_dir_pesel(const char* field);
// "/" id1 "/" id2 "/" id3 "/" into out[8]; empty when id has fewer than 3
// characters. One-character levels cannot climb out of a tree; a key appended
// after them can, so callers build key paths with the functions below.
void st_abc(const char* id, char* out);
// True when key may name an entry of the UID32 base or a start-folder
// directory: at least 3 characters, no '/', not "." or "..".
bool safe_tree_key(const char* key);
// UID32 entry directory uid32base/k1/k2/k3/key (no trailing '/') into
// out[cap]. -1 without writing when the key is unsafe or the path does not fit.
int uid32_entry_path(const char* key, char* out, std::size_t cap);
// Start-folder directory start_base/c1/c2/c3 (no trailing '/') of a code.
// -1 without writing when the code is unsafe or the path does not fit.
int start_code_dir(const char* code, char* out, std::size_t cap);
// The data folder: list_base up to its first '/' (whole when it has none);
// empty when it does not fit out[cap].
void data_folder(char* out, std::size_t cap);
// dir + "/" + name into out[cap]; -1 without writing when it does not fit.
int join_path(const char* dir, const char* name, char* out, std::size_t cap);
