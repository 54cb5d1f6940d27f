#include "ids/checks.h"

#include <cstring>
#include <string_view>

namespace {

bool all_digits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

int digit(const char* f, int k) { return f[k - 1] - '0'; }  // characters numbered from 1

// Weighted sum of characters first..first+n-1 with the given weights.
int weighted(const char* f, int first, const int* w, int n) {
  int s = 0;
  for (int i = 0; i < n; ++i) s += w[i] * digit(f, first + i);
  return s;
}

}  // namespace

int check_form_pesel(const char* field) {
  std::string_view f(field);
  if (f.size() != 11) return 0;
  if (f == "N0000000000") return 0;
  if (f[0] == 'N') {
    if (!all_digits(f.substr(1))) return 0;
    static const int w[] = {6, 5, 7, 2, 3, 4, 5, 6, 7};
    return weighted(field, 2, w, 9) % 11 == digit(field, 11) ? 1 : 0;
  }
  if (f.substr(0, 2) == "RN") {
    if (!all_digits(f.substr(2))) return 0;
    static const int w[] = {8, 9, 2, 3, 4, 5, 6, 7};
    int r = weighted(field, 3, w, 8) % 11;
    if (r == 10) r = 0;
    return r == digit(field, 11) ? 1 : 0;
  }
  if (f.substr(0, 2) == "RS") return all_digits(f.substr(2)) ? 1 : 0;
  if (!all_digits(f)) return 0;
  static const int w[] = {9, 7, 3, 1, 9, 7, 3, 1, 9, 7};
  return weighted(field, 1, w, 10) % 10 == digit(field, 11) ? 1 : 0;
}

int filtr_lan_ip(const char* address, const char* allowed) {
  std::string_view a(address);
  std::size_t dot = a.find('.');
  if (dot == std::string_view::npos) return 0;
  std::string_view first = a.substr(0, dot);
  std::string_view al(allowed);
  if (al.find("null") == std::string_view::npos && a == al) return 1;
  if (al != "null") return 0;
  // Substring tests on the first octet: 10, 100-110, 127, 192 and 210 pass.
  for (std::string_view net : {"127", "192", "10"})
    if (first.find(net) != std::string_view::npos) return 1;
  return 0;
}
