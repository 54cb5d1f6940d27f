#include "server/access.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "base/format.h"
#include "base/owners.h"
#include "base/text.h"
#include "server/dispatch.h"
#include "wire/reply.h"

namespace {

using op_mask = std::uint64_t;

// One network of a FROM list with the operations of its line. IPv4 is kept
// as IPv4-mapped IPv6 (::ffff:a.b.c.d, prefix + 96), so a mapped peer and a
// plain IPv4 peer meet the same rules.
struct network_rule {
  unsigned char net[16];
  int prefix;
  op_mask ops;
};

constexpr std::size_t max_networks = 256;
network_rule rules[max_networks];
std::size_t rule_count = 0;
op_mask restricted = 0;  // operations named by at least one rule

struct group {
  const char* name;
  const char* members[12];
};
// Groups for a typical deployment: departments register and block, anyone may
// ask, administrators administer.
const group groups[] = {
    {"register",
     {"get_UID64", "get_start_code", "get_special_pesel", "add_department", "add_usr", "add_pesel_obj",
      "add_ip_node"}},
    {"block", {"block_department", "block_user", "block_user_by_central_admin"}},
    {"query",
     {"chk_scode", "get_dep_data", "check_user", "get_nlines_pesel", "get_line_pesel_obj", "get_node",
      "versionTAVR"}},
    {"admin", {"get_tavr_config", "chg_tavr_config", "log_adm", "get_last_log", "restore_files_local"}},
};

// Operations whose refusal of a caller outside the local network is not the
// common form.
struct outside_reply {
  const char* op;
  const char* reply;
};
const outside_reply outside_replies[] = {
    {"get_start_code", "RE=get_start_code&CODE=null&"},
};

int operation_index(std::string_view name) {
  // An operation beyond the mask's width cannot be named (there are far fewer).
  for (std::size_t i = 0; i < operation_count && i < 64; ++i)
    if (name == operation_table[i].name) return static_cast<int>(i);
  return -1;
}

// The operations one name stands for; false when it is neither a group nor
// an operation.
bool names_mask(std::string_view name, op_mask& out) {
  for (const group& g : groups) {
    if (name != g.name) continue;
    for (const char* m : g.members) {
      if (!m) break;
      int i = operation_index(m);
      if (i >= 0) out |= op_mask{1} << i;
    }
    return true;
  }
  int i = operation_index(name);
  if (i < 0) return false;
  out |= op_mask{1} << i;
  return true;
}

// The 16 bytes of an address text: dotted IPv4 as IPv4-mapped, or IPv6.
// is_v4 tells which one it was.
bool parse_address(std::string_view text, unsigned char (&out)[16], bool& is_v4) {
  char buf[INET6_ADDRSTRLEN];
  if (!copy_text(buf, text)) return false;
  in_addr v4;
  if (::inet_pton(AF_INET, buf, &v4) == 1) {
    std::memset(out, 0, 10);
    out[10] = out[11] = 0xff;
    std::memcpy(out + 12, &v4, 4);
    is_v4 = true;
    return true;
  }
  in6_addr v6;
  if (::inet_pton(AF_INET6, buf, &v6) != 1) return false;
  std::memcpy(out, v6.s6_addr, 16);
  is_v4 = false;
  return true;
}

bool prefix_matches(const unsigned char* a, const unsigned char* net, int prefix) {
  int whole = prefix / 8, rest = prefix % 8;
  if (std::memcmp(a, net, static_cast<std::size_t>(whole)) != 0) return false;
  if (rest == 0) return true;
  unsigned char mask = static_cast<unsigned char>(0xff << (8 - rest));
  return (a[whole] & mask) == (net[whole] & mask);
}

// One network of a FROM list: an address with an optional /prefix, no host
// bits beyond the prefix (10.20.1.0/16 is refused: it does not say what it
// means).
const char* parse_network(std::string_view text, network_rule& out) {
  std::size_t slash = text.find('/');
  std::string_view address = text.substr(0, slash);
  bool is_v4 = false;
  if (!parse_address(address, out.net, is_v4)) return "not an IPv4 or IPv6 address";
  int width = is_v4 ? 32 : 128;
  int prefix = width;
  if (slash != std::string_view::npos) {
    std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return "prefix length is not a number";
    prefix = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return "prefix length is not a number";
      prefix = prefix * 10 + (c - '0');
    }
    if (prefix > width) return "prefix length too long";
  }
  out.prefix = is_v4 ? prefix + 96 : prefix;
  unsigned char masked[16];
  std::memset(masked, 0, sizeof masked);
  std::memcpy(masked, out.net, 16);
  for (int bit = out.prefix; bit < 128; ++bit) masked[bit / 8] &= static_cast<unsigned char>(~(0x80 >> (bit % 8)));
  if (std::memcmp(masked, out.net, 16) != 0) return "address has bits set beyond its prefix";
  return nullptr;
}

// Splits a ','-list; calls each(piece) until it returns a reason.
template <typename F>
const char* each_item(std::string_view list, F each) {
  if (list.empty()) return "empty list";
  for (;;) {
    std::size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    if (item.empty()) return "empty item in a list";
    if (const char* why = each(item)) return why;
    if (comma == std::string_view::npos) return nullptr;
    list.remove_prefix(comma + 1);
  }
}

// One rule line, exactly ALLOW=...&FROM=...& (either order), nothing else.
const char* parse_rule(std::string_view line, char* detail, std::size_t cap) {
  std::string_view names, from;
  bool have_names = false, have_from = false;
  std::string_view rest = line;
  while (!rest.empty()) {
    std::size_t amp = rest.find('&');
    if (amp == std::string_view::npos) return "a value without its closing '&'";
    std::string_view field = rest.substr(0, amp);
    rest.remove_prefix(amp + 1);
    std::size_t eq = field.find('=');
    if (eq == std::string_view::npos) return "a field without '='";
    std::string_view key = field.substr(0, eq), value = field.substr(eq + 1);
    if (key == "ALLOW" && !have_names) {
      names = value, have_names = true;
    } else if (key == "FROM" && !have_from) {
      from = value, have_from = true;
    } else {
      return "unknown or repeated field (a rule is ALLOW=names&FROM=networks&)";
    }
  }
  if (!have_names || !have_from) return "a rule needs both ALLOW= and FROM=";
  op_mask ops = 0;
  if (const char* why = each_item(names, [&](std::string_view n) -> const char* {
        if (names_mask(n, ops)) return nullptr;
        copy_text(detail, cap, n);
        return "unknown operation or group";
      }))
    return why;
  return each_item(from, [&](std::string_view n) -> const char* {
    if (rule_count == max_networks) return "too many networks";
    network_rule& r = rules[rule_count];
    if (const char* why = parse_network(n, r)) {
      copy_text(detail, cap, n);
      return why;
    }
    r.ops = ops;
    ++rule_count;
    restricted |= ops;
    return nullptr;
  });
}

}  // namespace

void clear_access_rules() {
  rule_count = 0;
  restricted = 0;
}

std::size_t access_rule_count() { return rule_count; }

int load_access_rules(const char* path, char* error, std::size_t cap) {
  clear_access_rules();
  copy_text(error, cap, "");
  unique_file f(std::fopen(path, "re"));
  if (!f) {
    if (errno == ENOENT) return 0;
    text_builder(error, cap).add(path).add(": cannot be read: ").add(std::strerror(errno));
    return -1;
  }
  char line[1000];
  for (int number = 1; std::fgets(line, sizeof line, f.get()); ++number) {
    std::string_view text(line);
    const char* why = nullptr;
    char detail[64] = "";
    if (text.back() != '\n' && !std::feof(f.get())) {
      why = "line too long";
    } else {
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
      std::size_t first = text.find_first_not_of(" \t");
      if (first == std::string_view::npos || text[first] == '#') continue;
      why = parse_rule(text, detail, sizeof detail);
    }
    if (why) {
      clear_access_rules();
      text_builder b(error, cap);
      b.add(path).add(" line ").add(std::to_string(number)).add(": ").add(why);
      if (detail[0]) b.add(" '").add(detail).add("'");
      return -1;
    }
  }
  // A folder of that name, or a read error part-way, must not pass for a
  // file without rules.
  if (std::ferror(f.get())) {
    clear_access_rules();
    text_builder(error, cap).add(path).add(": cannot be read");
    return -1;
  }
  return 0;
}

bool access_allows(std::size_t op, const char* peer) {
  if (op >= 64 || !(restricted & (op_mask{1} << op))) return true;
  unsigned char a[16];
  bool is_v4 = false;
  if (!peer || !parse_address(peer, a, is_v4)) return false;
  for (std::size_t i = 0; i < rule_count; ++i)
    if ((rules[i].ops & (op_mask{1} << op)) && prefix_matches(a, rules[i].net, rules[i].prefix)) return true;
  return false;
}

int access_refusal(const char* op, char* reply) {
  for (const outside_reply& o : outside_replies)
    if (std::strcmp(op, o.op) == 0) {
      copy_text(reply, fmt::message_size, o.reply);
      return -1;
    }
  return reply_refused(reply, op, "wrong_lan_ip");
}
