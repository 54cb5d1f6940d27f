// The get_dep_data operation: the stored data of one department of a UID32
// entry with the address of the firm's local server.
#pragma once

// OP=get_dep_data. 0 when found, -1 when refused.
int get_dep_data(char* message, char* reply);
// The query text of the last node.q line of the entry uid32 that holds the
// dep text, with LIP from the entry's ip.q, into out[512]: 0, or -1 with out
// "null" (a "null" argument, an unsafe key, no address, no node.q, no such
// line, or a line lacking a required field).
int read_dep_data_in_UID32BASE(const char* dep, const char* uid32, char* out);
