// The administrator log: log.q in the data folder, one fixed 60-byte record
// per administrator identifier, overwritten in place by newer entries.
#pragma once
#include <cstddef>

inline constexpr std::size_t log_record_size = 60;

// Operation log_adm (PESEL, NICK): records the entry; "RE=log_adm&STATUS=done&"
// or refusals incorrect_qvector[1..4], no_log. 0 / -1.
int log_adm(char* message, char* reply);
// Operation get_last_log (PESEL, or PESEL=null and NICK): "RE=get_last_log&
// STATUS=done&" followed by the record text when one matches; refusals
// incorrect_qvector[1], incorrect_qvector[2], no_file. 0 / -1.
int get_last_log(char* message, char* reply);

// The 60 bytes of a record for text: the text, a zero byte, then '0'
// characters; a text of 60 characters or more is cut to 60, without zero.
void make_log_record(const char* text, char* record);
// The text of a record as read back: up to its first zero byte (at most 60
// characters), cut after its last '&', into out[61].
void log_record_text(const char* record, char* out);
// Writes the entry of identifier over its record, or adds one. 1 written,
// -1 when the log cannot be opened or written.
int log_file(const char* identifier, const char* nick);
// The first record whose PESEL equals identifier or whose NICK equals nick
// ("null" leaves that field out of the search) into out[61], else "null".
// 0, or -1 when the log cannot be opened as a regular file.
int read_log_file(const char* path, const char* identifier, const char* nick, char* out);
