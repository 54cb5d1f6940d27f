// The node registry: the address of the local server of a UID32 entry, kept
// in the entry's ip.q and in the fixed-record list list_ip.nq, and the
// add_ip_node and get_node operations.
#pragma once
#include <cstddef>

// Size of one list_ip.nq record: the text, a NUL, then '0' up to the end.
inline constexpr std::size_t ip_record_size = 65;

// OP=add_ip_node: stores IPNODE (three dots, no line break) as the address
// of the entry UID32.
int add_ip_node(char* message, char* reply);
// 1 when address holds exactly three '.', 0 otherwise.
int check_ip_form(const char* address);
// Rewrites the entry's ip.q with "IPADDR=address&" and then updates
// list_ip.nq (its result ignored). 0, or -1 when ip.q cannot be written
// (no entry, or a key that would leave the UID32 base).
int save_ip_addr(const char* uid32, const char* address);
// Overwrites the list_ip.nq record of uid32 in place, or adds one after the
// last whole record. 1 when written, -1 when the file cannot be opened or
// written.
int ip_backup(const char* uid32, const char* address);
// OP=get_node: the address and the last node.q line holding the DEP text.
int get_node(char* message, char* reply);
// What get_node_data found.
enum class node_data {
  found,          // out holds "LIP=address&" and the line
  no_department,  // no node.q, an unsafe key, or no line holds dep
  no_address,     // the department is there, its entry has no address
  too_long,       // line and address together would not fit out
};
// "LIP=address&" and the last node.q line of the entry holding the dep text
// into out[fmt::line_size]; out is "null" unless found.
node_data get_node_data(const char* uid32, const char* dep, char* out);
// The IPADDR of the first line of the entry's ip.q into out[16]: 0, or -1
// with out "null" when the key is unsafe, the file is missing, or the field is
// absent or longer than an address.
int read_node_address(const char* uid32, char* out);
