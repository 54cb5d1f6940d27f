// A peer on 127.0.0.1 that a test scripts: it accepts connections one by
// one, records each decoded request, and answers with what the test says.
#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class fake_peer {
 public:
  // answer: the raw bytes to send back for a decoded request; an empty
  // result sends nothing (the connection is closed at once).
  using responder = std::function<std::string(const std::string& request)>;
  explicit fake_peer(responder answer);
  ~fake_peer();
  fake_peer(const fake_peer&) = delete;
  fake_peer& operator=(const fake_peer&) = delete;

  int port() const { return port_; }
  std::vector<std::string> requests() const;
  int connections() const { return connections_; }

  // Answers: a coded frame of message; the plain unknown reply; nothing.
  static std::string coded(const std::string& message);
  static std::string plain_unknown();
  // A peer that holds the connection without answering until it is closed.
  static std::string hold() { return std::string("\x01hold", 5); }
  // A peer that sends one byte every 100 ms until the client closes.
  static std::string trickle() { return std::string("\x01trickle", 8); }

 private:
  void run(responder answer);
  int fd_;
  int port_;
  std::atomic<int> connections_{0};
  mutable std::mutex mu_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace testing_support
