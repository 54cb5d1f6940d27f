#include "ids/uid.h"

#include <cstring>

#include "base/text.h"
#include "ids/random.h"

int gen_UID32_TRUE(char* out) {
  char r[65];
  char letters[65];
  if (true_random_generator(r, 32, class_digits) != 0) return -1;
  if (true_random_generator(letters, 3, class_capitals) != 0) return -1;
  char s[24], n[24];
  if (timer(s, n) != 0) return -1;
  char t[48];
  text_builder tb(t);
  tb.add(s).add(n);
  std::size_t tl = tb.size();
  std::memcpy(r, letters, 3);
  // The clock text fills positions 4 onward; random digits remain after it.
  for (std::size_t i = 3; i < tl && i < 32; ++i) r[i] = t[i];
  r[32] = '\0';
  std::memcpy(out, r, 33);
  return 0;
}

// The previous text is compared whole, so a draw can equal it only when it
// is itself 32 small letters.
int gen_EUID_TRUE(char* buf) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    char draw[65];
    if (true_random_generator(draw, 32, class_smalls) != 0) {
      copy_text(buf, 33, "NULL");
      return -1;
    }
    if (std::strcmp(draw, buf) != 0) {
      std::memcpy(buf, draw, 33);
      return 0;
    }
  }
  return -1;
}

void format_UID32(const char* src, char* dst) {
  char s[33];
  std::memcpy(s, src, 32);
  s[32] = '\0';
  // 8-4-4-4-12
  static const int cuts[] = {8, 12, 16, 20};
  int o = 0, c = 0;
  for (int i = 0; i < 32; ++i) {
    if (c < 4 && i == cuts[c]) {
      dst[o++] = '-';
      ++c;
    }
    dst[o++] = s[i];
  }
  dst[o] = '\0';
}

int gen_UID64T(char* uid32_out, char* euid_buf, int grouped) {
  if (gen_UID32_TRUE(uid32_out) != 0) return -1;
  if (grouped) format_UID32(uid32_out, uid32_out);
  if (gen_EUID_TRUE(euid_buf) != 0) return -1;
  if (grouped) format_UID32(euid_buf, euid_buf);
  return 0;
}

int gen_start_code(char* out) {
  out[0] = '\0';
  for (int g = 0; g < 5; ++g) {
    char group[65];
    if (true_random_generator(group, 4, class_capitals) != 0) return -1;
    char* at = out + g * 5;
    if (g > 0) at[-1] = '-';
    std::memcpy(at, group, 5);  // four letters and the terminator
  }
  return 0;
}

int start_CODE(char* out) { return gen_start_code(out) < 0 ? -1 : 0; }
