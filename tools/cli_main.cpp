// velmor-cli: sends one request to a central (or local) server and prints
// the reply.
//   velmor-cli [-h HOST] [-p PORT] [-t SECONDS] [--raw] MESSAGE
// MESSAGE is a raw message ('OP=get_UID64&') or an operation name followed by
// KEY=VALUE words (get_dep_data UID32=... DEP=7).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/proto_client.h"

namespace {

enum exit_code { exit_ok = 0, exit_usage = 2, exit_refused = 3, exit_timeout = 4, exit_malformed = 5,
                 exit_failed = 6 };

void usage() {
  std::fprintf(stderr,
               "usage: velmor-cli [-h HOST] [-p PORT] [-t SECONDS] [--raw] MESSAGE\n"
               "       MESSAGE: 'OP=get_UID64&'  or  OPERATION [KEY=VALUE ...]\n");
}

// Exactly one raw message, or an operation name and KEY=VALUE words.
std::string build_message(int argc, char** argv, int first) {
  std::string head = argv[first];
  if (first + 1 == argc && head.find('=') != std::string::npos) return head;
  std::string msg = "OP=" + head + "&";
  for (int i = first + 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word.find('=') == std::string::npos) return {};
    msg += word;
    if (msg.back() != '&') msg += '&';
  }
  return msg;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 8809;
  int timeout_s = 40;
  bool raw = false;
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "-p" || a == "-t") {
      if (i + 1 >= argc) {
        usage();
        return exit_usage;
      }
      const char* v = argv[++i];
      if (a == "-h") host = v;
      else if (a == "-p") port = std::atoi(v);
      else timeout_s = std::atoi(v);
    } else if (a == "--raw") {
      raw = true;
    } else if (a == "--help") {
      usage();
      return exit_ok;
    } else {
      break;
    }
  }
  if (i >= argc || port <= 0 || port > 65535 || timeout_s <= 0) {
    usage();
    return exit_usage;
  }
  std::string message = build_message(argc, argv, i);
  if (message.empty()) {
    usage();
    return exit_usage;
  }
  proto::reply r;
  proto::outcome o = proto::exchange(host, port, message, r, timeout_s * 1000);
  switch (o) {
    case proto::outcome::reply:
      std::fputs(raw ? (r.text + "\n").c_str() : proto::readable(r.text).c_str(), stdout);
      return exit_ok;
    case proto::outcome::refused:
      std::fprintf(stderr, "velmor-cli: %s:%d: connection refused\n", host.c_str(), port);
      return exit_refused;
    case proto::outcome::timed_out:
      std::fprintf(stderr, "velmor-cli: %s:%d: no reply within %d s\n", host.c_str(), port, timeout_s);
      return exit_timeout;
    case proto::outcome::malformed:
      std::fprintf(stderr, "velmor-cli: %s:%d: malformed reply\n", host.c_str(), port);
      return exit_malformed;
    case proto::outcome::failed:
      break;
  }
  std::fprintf(stderr, "velmor-cli: %s:%d: request failed (%s)\n", host.c_str(), port,
               message.size() > 511 ? "message longer than 511 characters" : "socket error");
  return exit_failed;
}
