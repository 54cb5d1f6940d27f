// Operator access rules: which source addresses may call which operation.
// An optional file in the working directory, read once at start. Each line
// that is not blank or a '#' comment is one rule:
//
//   ALLOW=<names>&FROM=<networks>&
//
// names: operation names or groups (register, block, query, admin), joined by
// ','; networks: IPv4 or IPv6 addresses with an optional /prefix, joined by
// ','. An operation named by at least one rule may be called only from the
// networks of the rules naming it; an operation no rule names is open as
// before. The rules only narrow: the local-network check of the three
// reserved operations still applies.
#pragma once
#include <cstddef>

inline constexpr char access_file_name[] = "velmorTAVR.access";

// Replaces the rules with those of the file at path. 0 when read, or when
// there is no such file (no rules); -1 with a one-line reason naming the line
// in error[cap] when a rule is malformed (the rules are then empty).
int load_access_rules(const char* path, char* error, std::size_t cap);
// Forgets every rule.
void clear_access_rules();
// Number of networks in force (one per address of a FROM list).
std::size_t access_rule_count();
// True when the operation at index op of operation_table may be called from
// peer (dotted IPv4, IPv6 or IPv4-mapped IPv6 text).
bool access_allows(std::size_t op, const char* peer);
// The refusal for a caller the rules keep out of op: the operation's own reply
// to a caller outside the local network where it has one, else
// "RE=<op>&STATUS=refused&CP=wrong_lan_ip&". Always -1.
int access_refusal(const char* op, char* reply);
