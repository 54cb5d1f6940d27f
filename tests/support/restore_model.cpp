#include "tests/support/restore_model.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <vector>

#include "ids/checks.h"
#include "store/append.h"
#include "store/line_reader.h"
#include "store/paths.h"
#include "store/settings.h"
#include "wire/message.h"

namespace testing_support {

namespace {

namespace fs = std::filesystem;

// "rm -fr dir/*": the shell's * leaves names that begin with '.'.
void remove_star(const std::string& dir) {
  std::vector<fs::path> doomed;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.path().filename().string()[0] != '.') doomed.push_back(e.path());
  for (const auto& p : doomed) fs::remove_all(p, ec);
}

std::string journal(const char* name) {
  char path[512];
  join_path(list_base, name, path, sizeof path);
  return path;
}

const char* pesel_phase(const char* name, const char* file, const char* no_source, const char* bad,
                        const char* failed) {
  line_reader in(journal(name).c_str());
  if (!in.is_open()) return no_source;
  while (const char* line = in.next()) {
    char key[512], dir[512];
    int got = select_value(line, "PESEL", key);
    if (got == field_absent) return bad;
    if (got != field_found || make_dir_pesel(key) != 0 || make_path_pesel(key, dir) != 0) continue;
    if (add_text_line(dir, file, line) != 0) return failed;
  }
  return nullptr;
}

const char* department_phase() {
  line_reader in(journal("list_pesel_nod.q").c_str());
  if (!in.is_open()) return "no_file[5]";
  while (const char* line = in.next()) {
    for (const char* field : {"NIP", "REGON"}) {
      char key[512], dir[512];
      if (select_value(line, field, key) != field_found || is_null_value(key)) continue;
      if (make_dir_pesel(key) != 0 || make_path_pesel(key, dir) != 0) continue;
      if (add_text_line(dir, "pesel.nod", line) != 0) return "no_file[6]";
    }
  }
  return nullptr;
}

void skeleton(const char* top, const char* marker) {
  ::umask(0);
  ::mkdir(top, 0777);
  std::string name = std::string(top) + "/name";
  ::unlink(name.c_str());
  if (std::FILE* f = std::fopen(name.c_str(), "w")) {
    std::fprintf(f, "%s\n", marker);
    std::fclose(f);
  }
  for (char a = 'A'; a <= 'Z'; ++a) {
    std::string l1 = std::string(top) + "/" + a;
    ::mkdir(l1.c_str(), 0777);
    for (char b = 'A'; b <= 'Z'; ++b) {
      std::string l2 = l1 + "/" + b;
      ::mkdir(l2.c_str(), 0777);
      for (char c = 'A'; c <= 'Z'; ++c) ::mkdir((l2 + "/" + c).c_str(), 0777);
    }
  }
  for (char a = 'A'; a <= 'Z'; ++a)
    for (char b = 'A'; b <= 'Z'; ++b)
      for (char c = 'A'; c <= 'Z'; ++c) remove_star(std::string(top) + "/" + a + "/" + b + "/" + c);
}

bool append_in_entry(const char* key, const char* file, const char* line) {
  char dir[512];
  if (uid32_entry_path(key, dir, sizeof dir) != 0) return true;  // no path: left out
  ::mkdir(dir, 0755);
  return add_text_line(dir, file, line) == 0;
}

const char* uid32_phase() {
  line_reader in(journal("list_uid32base.q").c_str());
  if (!in.is_open()) return "no_file[7]";
  while (const char* line = in.next()) {
    char key[512];
    const char* file = "usr.q";
    int got = select_value(line, "UIDP", key);
    if (got == field_absent) {
      file = "node.q";
      got = select_value(line, "UID32", key);
    }
    if (got == field_absent) return "incorrect_qvector[4]";
    if (got == field_found && !append_in_entry(key, file, line)) return "no_file[8]";
  }
  return nullptr;
}

const char* address_phase() {
  std::ifstream in(journal("list_ip.nq"), std::ios::binary);
  if (!in) return "no_file[9]";
  std::string all((std::istreambuf_iterator<char>(in)), {});
  for (std::size_t i = 0; i + 65 <= all.size(); i += 65) {
    std::string record = all.substr(i, 65);
    char key[512], address[66];
    if (select_value(record.c_str(), "UID32", key) != field_found) return "incorrect_qvector[5]";
    if (select_value(record.c_str(), "IPADDR", address) != field_found) return "incorrect_qvector[6]";
    std::string line = "IPADDR=" + std::string(address) + "&";
    if (!append_in_entry(key, "ip.q", line.c_str())) return "no_file[10]";
  }
  return nullptr;
}

const char* start_phase() {
  line_reader in(journal("list_start_base.q").c_str());
  if (!in.is_open()) return "no_file[11]";
  while (const char* line = in.next()) {
    char code[512], dir[512];
    int got = select_value(line, "CODE", code);
    if (got == field_absent) return "incorrect_qvector[7]";
    if (got != field_found || start_code_dir(code, dir, sizeof dir) != 0) continue;
    if (add_text_line(dir, "scode.q", line) != 0) return "no_file[12]";
  }
  return nullptr;
}

const char* restore_steps() {
  char data[512];
  data_folder(data, sizeof data);
  std::string cp = std::string("cp ") + list_base + "/rs_last_number.txt " + data +
                   "/rs_last_number.txt 2>/dev/null";
  int ignored = std::system(cp.c_str());
  (void)ignored;
  remove_star(pesel_base);
  const char* cause = nullptr;
  if ((cause = pesel_phase("list_pesel_usr.q", "pesel.usr", "no_file[1]", "incorrect_qvector[1]",
                           "no_file[2]")) ||
      (cause = pesel_phase("list_pesel_obj.q", "pesel.obj", "no_file[3]", "incorrect_qvector[2]",
                           "no_file[4]")) ||
      (cause = department_phase()))
    return cause;
  skeleton(uid32base, "UID32BASE");
  if ((cause = uid32_phase()) || (cause = address_phase())) return cause;
  skeleton(start_base, "START");
  return start_phase();
}

}  // namespace

std::string restore_line_by_line(const char* peer) {
  const std::string head = "RE=restore_files_local&STATUS=";
  if (filtr_lan_ip(peer, "null") != 1) return head + "refused&CP=wrong_lan_ip&";
  const char* cause = restore_steps();
  return cause ? head + "refused&CP=" + cause + "&" : head + "done&";
}

}  // namespace testing_support
