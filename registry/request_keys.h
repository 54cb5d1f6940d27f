// What a request reads or rewrites of the records a block changes, as keys:
// a firm's identifiers (its pesel.nod files), UID32 entries (node.q, TMP,
// ip.q, usr.q) and persons (pesel.usr). Two requests whose keys meet must not
// interleave; requests whose keys never meet may run in any order.
#pragma once
#include <cstddef>

struct key_set {
  static constexpr std::size_t max_keys = 4;
  static constexpr std::size_t key_size = 52;  // a kind letter, ':' and a field value
  char keys[max_keys][key_size];
  std::size_t count = 0;

  // Adds kind:value unless value is "null", "NULL", empty or already there.
  void add(char kind, const char* value);
  bool meets(const key_set& other) const;
};

// The keys of a decoded request, by its OP. A block's keys include what it
// will find in the files (the firm's UID32, the user's entries), read now.
key_set request_keys(const char* message);
