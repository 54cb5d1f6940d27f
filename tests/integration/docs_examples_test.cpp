// The examples of README.md and docs/*.md run as written. Every indented
// "$ build/velmor-cli ..." line is sent, in page order, through the real
// client to a fresh server in a working directory made by
// scripts/prepare-workdir.sh, and its printed lines are compared with the
// lines shown under it. "$ build/velmor-local ... &" starts a local server
// (stopping the one before); "$ cp" and "$ mv" act on build/ and run/.
// Port 8809 and every local server's port are mapped to free ports, and the
// mapping holds for field values too (PUID=19001 reaches the local server).
// Fresh identifiers, start codes and DATE values are matched by their form;
// a fresh value is remembered, so a later example that uses the value shown
// is sent the one the server really gave. A block can be left out with
// "<!-- example: skip (why) -->" on the line before it.
//
// Each page gets its own server: a page is read on its own, so its examples
// must not lean on another page's.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/server_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::central_server;

const std::string source_dir = VELMOR_SOURCE_DIR;
const std::string build_dir = VELMOR_BUILD_DIR;

struct example {
  int line = 0;
  std::string command;                 // after "$ "
  std::vector<std::string> expected;   // the lines shown under it
  std::string skipped_because;         // non-empty: marked skip
};

struct page {
  std::vector<example> examples;
  std::vector<std::string> problems;  // "line N: ..." for text the test cannot take
};

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::string rstrip(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) s.pop_back();
  return s;
}

page parse_page(const std::string& text) {
  page p;
  std::vector<std::string> lines = split_lines(text);
  const std::string marker = "<!-- example: skip (";
  std::string pending_skip, block_skip;
  bool in_block = false;
  example* open = nullptr;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string line = rstrip(lines[i]);
    const int number = static_cast<int>(i + 1);
    if (line.empty()) {
      open = nullptr;  // a reply holds no empty line
      continue;
    }
    if (line.rfind("    ", 0) != 0) {
      in_block = false;
      open = nullptr;
      if (line.rfind(marker, 0) == 0) {
        std::size_t end = line.find(") -->");
        if (end == std::string::npos || end == marker.size()) {
          p.problems.push_back("line " + std::to_string(number) + ": a skip marker needs \"(why) -->\"");
        } else {
          pending_skip = line.substr(marker.size(), end - marker.size());
        }
      } else if (!pending_skip.empty()) {
        p.problems.push_back("line " + std::to_string(number) + ": a skip marker must come right before its block");
        pending_skip.clear();
      }
      continue;
    }
    if (!in_block) {
      in_block = true;
      block_skip = pending_skip;
      pending_skip.clear();
    }
    std::string body = line.substr(4);
    if (body.rfind("$ ", 0) == 0) {
      p.examples.push_back({number, body.substr(2), {}, block_skip});
      open = &p.examples.back();
    } else if (open) {
      open->expected.push_back(body);
    } else if (body.rfind("build/velmor-", 0) == 0) {
      p.problems.push_back("line " + std::to_string(number) + ": an example without its \"$ \" prompt: " + body);
    }
  }
  if (!pending_skip.empty()) p.problems.push_back("a skip marker at the end of the page");
  return p;
}

// Shell words: blanks separate, '...' and "..." quote.
std::optional<std::vector<std::string>> shell_words(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool have = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\'' || c == '"') {
      std::size_t end = text.find(c, i + 1);
      if (end == std::string::npos) return std::nullopt;
      word += text.substr(i + 1, end - i - 1);
      have = true;
      i = end;
    } else if (c == ' ') {
      if (have) words.push_back(word);
      word.clear();
      have = false;
    } else {
      word += c;
      have = true;
    }
  }
  if (have) words.push_back(word);
  return words;
}

std::vector<std::string> split_on(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(sep, from)) != std::string::npos; from = at + 1)
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  return parts;
}

std::string join(const std::vector<std::string>& parts, char sep) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? std::string(1, sep) : "") + parts[i];
  return out;
}

bool all_of_class(std::string_view s, std::size_t from, std::size_t to, int (*is)(int)) {
  for (std::size_t i = from; i < to; ++i)
    if (!is(static_cast<unsigned char>(s[i]))) return false;
  return true;
}

// The form of a value the server makes afresh, by field name; nullopt for
// fields whose shown value is exact.
std::optional<bool> fresh_form(const std::string& key, std::string_view v) {
  if (key == "UID32" || key == "UIDP")
    return v.size() == 32 && all_of_class(v, 0, 3, ::isupper) && all_of_class(v, 3, 32, ::isdigit);
  if (key == "EUID" || key == "EUIDP") return v.size() == 32 && all_of_class(v, 0, 32, ::islower);
  if (key == "CODE") {
    if (v.size() != 24) return false;
    for (std::size_t i = 0; i < v.size(); ++i)
      if (i % 5 == 4 ? v[i] != '-' : !std::isupper(static_cast<unsigned char>(v[i]))) return false;
    return true;
  }
  if (key == "DATE")
    return v.size() == 17 && all_of_class(v, 0, 8, ::isdigit) && v[8] == '-' && all_of_class(v, 9, 11, ::isdigit) &&
           v[11] == ':' && all_of_class(v, 12, 14, ::isdigit) && v[14] == ':' && all_of_class(v, 15, 17, ::isdigit);
  return std::nullopt;
}

struct run_result {
  int status = -1;
  std::string out;  // standard output and error, as a terminal shows them
};

// Runs argv with both output streams captured; a hang is killed after two
// minutes (the client gives up after 40 s by itself).
run_result run_capture(const std::vector<std::string>& argv) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    ::close_range(3, ~0U, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    std::fprintf(stderr, "exec %s: %s\n", args[0], std::strerror(errno));
    ::_exit(127);
  }
  ::close(fds[1]);
  run_result r;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, 1000) > 0) {
      char buf[4096];
      ssize_t n = ::read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      r.out.append(buf, static_cast<std::size_t>(n));
    } else if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      r.out += "<killed after two minutes>\n";
      break;
    }
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

class page_run {
 public:
  explicit page_run(std::string page_name) : name_(std::move(page_name)) {}
  ~page_run() { stop_local(); }
  page_run(const page_run&) = delete;
  page_run& operator=(const page_run&) = delete;

  // A fresh server in a prepared working directory; false with a reason.
  bool start(std::string& why) {
    server_.emplace(testing_support::without_config());
    run_result prep = run_capture({"/bin/bash", source_dir + "/scripts/prepare-workdir.sh", server_->dir().path()});
    if (prep.status != 0) {
      why = "prepare-workdir.sh: " + prep.out;
      return false;
    }
    std::string config_path = server_->path("velmorTAVR.config");
    std::string config = testing_support::read_file(config_path);
    const std::string shown = "PORT_CENTRAL=8809&";
    std::size_t at = config.find(shown);
    if (at == std::string::npos) {
      why = "the prepared configuration has no " + shown;
      return false;
    }
    config.replace(at, shown.size(), "PORT_CENTRAL=" + std::to_string(server_->port()) + "&");
    testing_support::write_file(config_path, config);
    known_["8809"] = std::to_string(server_->port());
    if (!server_->start()) {
      why = "the server did not start: " + server_->output() + server_->errors();
      return false;
    }
    return true;
  }

  // Runs one example; an empty result means it printed what the page shows.
  std::string run(const example& ex) {
    std::optional<std::vector<std::string>> parsed = shell_words(ex.command);
    if (!parsed || parsed->empty()) return "cannot split the command into words";
    std::vector<std::string> words = *parsed;
    bool background = words.back() == "&";
    if (background) words.pop_back();
    const std::string& program = words[0];
    if (program == "build/velmor-cli" && !background) return run_cli(words, ex.expected);
    if (program == "build/velmor-local" && background) return start_local(words, ex.expected);
    if ((program == "cp" || program == "mv") && words.size() == 3 && !background) return move_or_copy(words, ex);
    return "not a command this test runs; mark its block <!-- example: skip (why) --> if it cannot be run";
  }

 private:
  std::string run_cli(std::vector<std::string> words, const std::vector<std::string>& expected) {
    words[0] = build_dir + "/velmor-cli";
    if (std::find(words.begin(), words.end(), "-p") == words.end()) words.insert(words.begin() + 1, {"-p", "8809"});
    for (std::size_t i = 1; i < words.size(); ++i) words[i] = substitute(words[i]);
    run_result r = run_capture(words);
    std::vector<std::string> shown_reply, shown_notices;
    for (const std::string& l : expected) (l.rfind("notice: ", 0) == 0 ? shown_notices : shown_reply).push_back(l);
    std::vector<std::string> got = split_lines(r.out);
    // The local server printed its notice before it answered, so before the
    // central server replied: it is all there once the client is done.
    std::vector<std::string> notices = local_lines_since_last();
    std::string problem = compare(shown_reply, got);
    if (problem.empty()) problem = compare(shown_notices, notices);
    if (problem.empty()) return "";
    return problem + "\n  ran: " + join(words, ' ') + " (exit " + std::to_string(r.status) + ")\n  printed:\n" +
           indent(got) + "  local server printed:\n" + indent(notices);
  }

  std::string start_local(std::vector<std::string> words, const std::vector<std::string>& expected) {
    stop_local();
    words[0] = build_dir + "/velmor-local";
    for (std::size_t i = 1; i + 1 < words.size(); ++i) {
      if (words[i] != "-p") continue;
      std::string& port = words[i + 1];
      if (!known_.count(port)) known_[port] = std::to_string(testing_support::free_port());
      local_ports_[known_[port]] = port;
    }
    for (std::size_t i = 1; i < words.size(); ++i) words[i] = substitute(words[i]);
    local_log_ = server_->path("local-" + std::to_string(++local_starts_) + ".log");
    local_seen_ = 0;
    local_pid_ = ::fork();
    if (local_pid_ == 0) {
      int out = ::open(local_log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, 1);
      ::dup2(out, 2);
      ::close_range(3, ~0U, 0);
      std::vector<char*> args;
      for (const std::string& a : words) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    // Its first line says it listens; a start that never says so fails here.
    std::vector<std::string> got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      got = split_lines(testing_support::read_file(local_log_));
      if (got.size() >= std::max<std::size_t>(expected.size(), 1)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    local_seen_ = got.size();
    for (std::string& l : got) l = shown_port(l);
    std::string problem = compare(expected, got);
    if (problem.empty()) return "";
    return problem + "\n  ran: " + join(words, ' ') + "\n  printed:\n" + indent(got);
  }

  std::string move_or_copy(const std::vector<std::string>& words, const example& ex) {
    std::string from = local_path(words[1]), to = local_path(words[2]);
    if (from.empty() || to.empty()) return "cp and mv take paths under build/ or run/ only";
    if (!ex.expected.empty()) return "cp and mv print nothing";
    std::error_code ec;
    if (words[0] == "cp") fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    else fs::rename(from, to, ec);
    return ec ? words[0] + " failed: " + ec.message() : "";
  }

  std::string local_path(const std::string& p) const {
    if (p.rfind("build/", 0) == 0) return build_dir + "/" + p.substr(6);
    if (p.rfind("run/", 0) == 0) return server_->path(p.substr(4));
    return "";
  }

  void stop_local() {
    if (local_pid_ <= 0) return;
    ::kill(local_pid_, SIGKILL);
    int status;
    ::waitpid(local_pid_, &status, 0);
    local_pid_ = -1;
  }

  std::vector<std::string> local_lines_since_last() {
    if (local_pid_ <= 0) return {};
    std::vector<std::string> all = split_lines(testing_support::read_file(local_log_));
    std::vector<std::string> fresh(all.begin() + static_cast<std::ptrdiff_t>(std::min(local_seen_, all.size())),
                                   all.end());
    local_seen_ = all.size();
    return fresh;
  }

  // "listening on 127.0.0.1:<mapped>" is shown with the page's port.
  std::string shown_port(const std::string& line) const {
    std::size_t colon = line.rfind(':');
    if (colon == std::string::npos) return line;
    auto it = local_ports_.find(line.substr(colon + 1));
    return it == local_ports_.end() ? line : line.substr(0, colon + 1) + it->second;
  }

  // The page's values in one word of a command replaced by the real ones;
  // values the page sends for the first time stand for themselves later.
  std::string substitute(const std::string& word) {
    if (known_.count(word)) return known_[word];
    std::vector<std::string> fields = split_on(word, '&');
    for (std::string& f : fields) {
      std::size_t eq = f.find('=');
      if (eq == std::string::npos) continue;
      std::string value = f.substr(eq + 1);
      if (known_.count(value)) f = f.substr(0, eq + 1) + known_[value];
      else known_[value] = value;
    }
    return join(fields, '&');
  }

  std::string compare(const std::vector<std::string>& shown, const std::vector<std::string>& got) {
    if (shown.size() != got.size())
      return "shows " + std::to_string(shown.size()) + " lines, printed " + std::to_string(got.size());
    std::map<std::string, std::string> learned;
    for (std::size_t i = 0; i < shown.size(); ++i) {
      std::vector<std::string> want = split_on(shown[i], '&'), have = split_on(got[i], '&');
      std::string where = "line " + std::to_string(i + 1) + " \"" + shown[i] + "\": ";
      if (want.size() != have.size()) return where + "printed \"" + got[i] + "\"";
      for (std::size_t k = 0; k < want.size(); ++k) {
        std::size_t eq = want[k].find('=');
        if (eq == std::string::npos || have[k].compare(0, eq + 1, want[k], 0, eq + 1) != 0) {
          if (want[k] != have[k]) return where + "printed \"" + got[i] + "\"";
          continue;
        }
        std::string key = want[k].substr(0, eq), value = want[k].substr(eq + 1), actual = have[k].substr(eq + 1);
        if (key.find(' ') != std::string::npos) key = key.substr(key.rfind(' ') + 1);  // "notice: OP"
        std::optional<bool> form = fresh_form(key, value);
        if (key == "DATE") {
          if (!*form || !*fresh_form(key, actual)) return where + "printed \"" + got[i] + "\" (not a DATE)";
        } else if (known_.count(value) || learned.count(value)) {
          std::string real = known_.count(value) ? known_[value] : learned[value];
          if (real != actual) return where + "printed \"" + got[i] + "\", the value shown stands for " + real;
        } else if (form) {
          if (!*form) return where + "the value shown is not of the form the server gives";
          if (!*fresh_form(key, actual)) return where + "printed \"" + got[i] + "\"";
          learned[value] = actual;
        } else if (value != actual) {
          return where + "printed \"" + got[i] + "\"";
        }
      }
    }
    known_.insert(learned.begin(), learned.end());
    return "";
  }

  static std::string indent(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += "    " + l + "\n";
    return out;
  }

  std::string name_;
  std::optional<central_server> server_;
  std::map<std::string, std::string> known_;        // value on the page -> value in this run
  std::map<std::string, std::string> local_ports_;  // real port -> the page's port
  pid_t local_pid_ = -1;
  std::string local_log_;
  std::size_t local_seen_ = 0;
  int local_starts_ = 0;
};

std::vector<std::string> pages() {
  std::vector<std::string> names{"README.md"};
  std::vector<std::string> docs;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(source_dir + "/docs", ec))
    if (e.path().extension() == ".md") docs.push_back("docs/" + e.path().filename().string());
  std::sort(docs.begin(), docs.end());
  names.insert(names.end(), docs.begin(), docs.end());
  return names;
}

class DocsExamples : public ::testing::TestWithParam<std::string> {};

TEST_P(DocsExamples, RunInTheOrderShownAndPrintWhatIsShown) {
  const std::string name = GetParam();
  page p = parse_page(testing_support::read_file(source_dir + "/" + name));
  for (const std::string& problem : p.problems) ADD_FAILURE() << name << ": " << problem;
  bool any = std::any_of(p.examples.begin(), p.examples.end(), [](const example& e) { return e.skipped_because.empty(); });
  if (!any) {
    std::string left_out;
    for (const example& ex : p.examples) left_out += " line " + std::to_string(ex.line) + " (" + ex.skipped_because + ")";
    GTEST_SKIP() << name << " has no example to run" << (left_out.empty() ? "" : "; left out:" + left_out);
  }
  page_run run(name);
  std::string why;
  ASSERT_TRUE(run.start(why)) << why;
  for (const example& ex : p.examples) {
    if (!ex.skipped_because.empty()) {
      std::printf("%s:%d left out: %s\n", name.c_str(), ex.line, ex.skipped_because.c_str());
      continue;
    }
    std::string problem = run.run(ex);
    EXPECT_TRUE(problem.empty()) << name << ":" << ex.line << ": $ " << ex.command << "\n  " << problem;
  }
}

std::string page_test_name(const ::testing::TestParamInfo<std::string>& info) {
  std::string n = info.param;
  for (char& c : n)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(Pages, DocsExamples, ::testing::ValuesIn(pages()), page_test_name);

// The reader itself: a page's shown lines belong to the command above them,
// a skip marker covers its whole block, and prompt-less client lines are
// reported rather than silently passed over.
TEST(DocsExamplePages, BlocksCommandsAndMarkersAreReadAsWritten) {
  page p = parse_page(
      "Text.\n"
      "\n"
      "    $ build/velmor-cli get_UID64\n"
      "    OP=get_UID64\n"
      "\n"
      "    $ build/velmor-local -p 19001 &\n"
      "    velmor-local listening on 0.0.0.0:19001\n"
      "\n"
      "<!-- example: skip (machine figures) -->\n"
      "\n"
      "    $ scripts/bench.sh\n"
      "    figures\n"
      "\n"
      "    $ scripts/other.sh\n"
      "Prose.\n"
      "\n"
      "    build/velmor-cli get_UID64\n"
      "<!-- example: skip (orphan) -->\n"
      "Prose again.\n");
  ASSERT_EQ(p.examples.size(), 4u);
  EXPECT_EQ(p.examples[0].line, 3);
  EXPECT_EQ(p.examples[0].command, "build/velmor-cli get_UID64");
  EXPECT_EQ(p.examples[0].expected, std::vector<std::string>{"OP=get_UID64"});
  EXPECT_EQ(p.examples[1].expected, std::vector<std::string>{"velmor-local listening on 0.0.0.0:19001"});
  EXPECT_EQ(p.examples[2].skipped_because, "machine figures");
  EXPECT_EQ(p.examples[2].expected, std::vector<std::string>{"figures"});
  EXPECT_EQ(p.examples[3].skipped_because, "machine figures");
  ASSERT_EQ(p.problems.size(), 2u);
  EXPECT_NE(p.problems[0].find("line 17: an example without"), std::string::npos) << p.problems[0];
  EXPECT_NE(p.problems[1].find("line 19: a skip marker must come right before"), std::string::npos) << p.problems[1];
  for (const std::string& page : {std::string("README.md"), std::string("docs/operations.md")})
    EXPECT_FALSE(parse_page(testing_support::read_file(source_dir + "/" + page)).examples.empty()) << page;
}

TEST(DocsExamplePages, ShellWordsKeepQuotedTextWhole) {
  EXPECT_EQ(*shell_words("build/velmor-cli 'TEST=H00&'  \"NAME=Jan Kowalski\" a=b"),
            (std::vector<std::string>{"build/velmor-cli", "TEST=H00&", "NAME=Jan Kowalski", "a=b"}));
  EXPECT_FALSE(shell_words("build/velmor-cli 'open").has_value());
}

}  // namespace
