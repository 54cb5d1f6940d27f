#include "store/paths.h"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

#include "base/format.h"
#include "base/text.h"
#include "store/settings.h"

namespace {

constexpr std::size_t pesel_field_len = 11;
constexpr std::size_t pesel_levels = 6;

// The six levels of an 11-character field: five pairs and the last character.
std::string_view pesel_level(std::string_view field, std::size_t k) {
  return k < 5 ? field.substr(2 * k, 2) : field.substr(10, 1);
}

// A level becomes one directory name below the PESEL base; a '/' would split
// it and "." or ".." would climb out of the tree.
bool safe_level(std::string_view level) {
  return level.find('/') == std::string_view::npos && level != "." && level != "..";
}

bool safe_pesel_field(std::string_view field) {
  if (field.size() != pesel_field_len) return false;
  for (std::size_t k = 0; k < pesel_levels; ++k)
    if (!safe_level(pesel_level(field, k))) return false;
  return true;
}

// pesel_base followed by the first `levels` levels, each closed by '/'.
// False when it does not fit fmt::path_size bytes.
bool build_pesel_path(std::string_view field, std::size_t levels, char (&out)[fmt::path_size]) {
  text_builder b(out);
  b.add(pesel_base);
  for (std::size_t k = 0; k < levels; ++k) b.add("/").add(pesel_level(field, k));
  b.add("/");
  return b.ok();
}

// base/k1/k2/k3[/key] into out[cap]; out is left as it was when it does not fit.
int letter_levels_path(std::string_view base, const char* key, bool with_key, char* out,
                       std::size_t cap) {
  if (!safe_tree_key(key)) return -1;
  std::string_view k(key);
  std::size_t need = base.size() + 6 + (with_key ? 1 + k.size() : 0) + 1;
  if (need > cap) return -1;
  text_builder b(out, cap);
  b.add(base).add("/").add(k.substr(0, 1)).add("/").add(k.substr(1, 1)).add("/").add(k.substr(2, 1));
  if (with_key) b.add("/").add(k);
  return b.ok() ? 0 : -1;
}

}  // namespace

int make_path_pesel(const char* field, char* out) {
  std::string_view f(field);
  if (!safe_pesel_field(f)) return -1;
  char path[fmt::path_size];
  if (!build_pesel_path(f, pesel_levels, path)) return -1;
  copy_text(out, fmt::path_size, path);
  return 0;
}

int make_dir_pesel(const char* field) {
  std::string_view f(field);
  if (!safe_pesel_field(f)) return -1;
  char path[fmt::path_size];
  if (!build_pesel_path(f, pesel_levels, path)) return -1;
  for (std::size_t k = 1; k <= pesel_levels; ++k) {
    build_pesel_path(f, k, path);
    // A level that cannot be made leaves the deeper ones impossible too; the
    // caller learns of it when the file in the leaf cannot be opened.
    if (::mkdir(path, 0755) != 0 && errno != EEXIST) break;
  }
  return 0;
}

void st_abc(const char* id, char* out) {
  std::string_view v(id);
  if (v.size() < 3) {
    out[0] = '\0';
    return;
  }
  text_builder(out, 8).add("/").add(v.substr(0, 1)).add("/").add(v.substr(1, 1)).add("/").add(
      v.substr(2, 1)).add("/");
}

bool safe_tree_key(const char* key) {
  std::string_view k(key);
  return k.size() >= 3 && k.find('/') == std::string_view::npos && k != "." && k != "..";
}

int uid32_entry_path(const char* key, char* out, std::size_t cap) {
  return letter_levels_path(uid32base, key, true, out, cap);
}

int start_code_dir(const char* code, char* out, std::size_t cap) {
  return letter_levels_path(start_base, code, false, out, cap);
}

void data_folder(char* out, std::size_t cap) {
  std::string_view list(list_base);
  copy_text(out, cap, list.substr(0, list.find('/')));
}

int join_path(const char* dir, const char* name, char* out, std::size_t cap) {
  std::string_view d(dir), n(name);
  if (d.size() + 1 + n.size() + 1 > cap) return -1;
  text_builder(out, cap).add(d).add("/").add(n);
  return 0;
}
