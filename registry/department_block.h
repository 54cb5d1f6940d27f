// OP=block_department: the chosen departments of a firm get a fresh EUID in
// the firm's pesel.nod files and in its node.q, and the firm's local server
// is told once per changed node.q line.
#pragma once

int block_department(char* message, char* reply);
// Rewrites the primary identifier's pesel.nod (nip, else regon) with new_euid
// on the chosen lines, copies it over the secondary identifier's pesel.nod
// when the firm has one, and leaves the UID32 of the file's last line in
// uid32_out[40]. 0, or -1.
int chg_euid_in_pesel_base(const char* dep, const char* nip, const char* regon, const char* new_euid,
                           char* uid32_out);
// Notifies the local server of each chosen node.q line of the entry and
// rewrites node.q with them changed. 0, or -1.
int chg_euid_in_uid32base(const char* dep, const char* new_euid, const char* uid32);
// Appends line to the entry's TMP (the entry made 0755 when missing). 0 or -1.
int add_node_to_uid32base_tmp(const char* uid32, const char* line);
// Puts the entry's TMP in the place of its node.q: 0, or -1 with node.q
// unchanged and TMP removed.
int copy_tmp_to_uid32base(const char* uid32);
