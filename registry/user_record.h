// User records: one KEY=value& line per version of a user, kept in the user's
// UID32 entry ("usr.q"), the person's PESEL-base directory ("pesel.usr") and
// two journals. The last line of a file is the user's current version.
//
// Full form:  UID32=&EUID=&UIDP=&EUIDP=&PESEL=&DEP=&NAME=&STAT=&RANGE=&ACT=&DATE=&
// Short form: the same without RANGE and ACT.
#pragma once
#include <cstddef>

#include "base/format.h"

// Field buffers: every value at most 39 characters, NAME at most 255.
inline constexpr std::size_t user_field_size = fmt::short_field_max + 1;
inline constexpr std::size_t user_name_size = fmt::name_max + 1;
using user_field = char[user_field_size];
using user_name = char[user_name_size];
// A composed or read record line (at most 510 characters and, when read with
// its newline, that newline).
using user_line = char[fmt::line_size];

// Parses a request or a stored line into the ten field buffers, reading
// UID32, EUID, UIDP, EUIDP, DEP, NAME, STAT, RANGE, ACT, PESEL in that order.
// A missing field leaves "null". Returns 1 when every field but RANGE and ACT
// is present and PESEL is well formed; 0 when one is missing, any value
// (RANGE and ACT included) is over its limit (its buffer then holds "null")
// or holds a line break, or PESEL is malformed. The buffers are filled either way.
int strip_user_string(const char* text, user_field& uid32, user_field& euid, user_field& uidp,
                      user_field& euidp, user_field& pesel, user_field& dep, user_name& name,
                      user_field& stat, user_field& range, user_field& act);

// The full form, closed by the DATE field (left out when the clock cannot be
// read), into out. 0; -1 with out empty when the line would pass 510 characters.
int create_user_qstring_full(const char* uid32, const char* euid, const char* uidp, const char* euidp,
                             const char* pesel, const char* dep, const char* name, const char* stat,
                             const char* range, const char* act, user_line& out);
// The short form (no RANGE, no ACT) likewise.
int create_user_small_string(const char* uid32, const char* euid, const char* uidp, const char* euidp,
                             const char* pesel, const char* dep, const char* name, const char* stat,
                             user_line& out);

// Appends line to "usr.q" of the UID32 entry of uidp (entry made 0755 when
// missing), to "pesel.usr" of the PESEL-base directory of pesel (levels
// made), then to both journals. 0; -1 as soon as "usr.q" or "pesel.usr"
// cannot be written (a key that would leave its tree counts as such), versions
// written before staying in place. A line over 510 characters writes nothing (-1).
int save_user_to_structures(const char* uidp, const char* pesel, const char* line);

// The person's current version (last line of "pesel.usr") without its newline.
// 0; -1 with out "null" when the person has no users (no file, or no line in
// it); -2 when the field is not 11 characters.
int check_user_pesel(const char* pesel, user_line& out);
// The same line with its newline kept. 0; -1 when the field is not 11
// characters or the person has no users.
int read_user_from_pesel(const char* pesel, user_line& out);
