// The add_department operation: registers a department of a firm under the
// firm's UID32/EUID pair (a fresh one for the firm's first department).
#pragma once

// OP=add_department. 0 when registered, -1 when refused.
int add_department(char* message, char* reply);
// Looks the firm up in the pesel.nod of nip, else of regon. 1: the firm is
// known and agrees, its pair in uid32_out/euid_out (40 bytes each); 0: a line
// contradicts the request or carries no pair; -1: no file of the firm can be
// read. The outputs are "null" unless taken from a line of the firm.
int check_dep_in_pesel_base(const char* dep, const char* nip, const char* regon, char* uid32_out,
                            char* euid_out);
// Appends line to the pesel.nod of the 11-character identifier, creating its
// PESEL-base directories. 0, or -1 (bad identifier, file not writable).
int add_node_to_pesel(const char* identifier, const char* line);
// Appends line to the node.q of the UID32 entry uid32, creating the entry
// (mode 0755) below its existing letter levels. 0, or -1 (unsafe key, file
// not writable).
int add_node_to_uid32base(const char* uid32, const char* line);
