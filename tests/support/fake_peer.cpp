#include "tests/support/fake_peer.h"

#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "wire/v1.h"

namespace testing_support {

fake_peer::fake_peer(responder answer) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  ::listen(fd_, 16);
  thread_ = std::thread([this, answer] { run(answer); });
}

fake_peer::~fake_peer() {
  ::shutdown(fd_, SHUT_RDWR);
  thread_.join();
  ::close(fd_);
}

void fake_peer::run(responder answer) {
  for (;;) {
    int c = ::accept(fd_, nullptr, nullptr);
    if (c < 0) return;
    ++connections_;
    unsigned char frame[1024] = {};
    ssize_t n = ::recv(c, frame, sizeof frame, MSG_WAITALL);
    std::string request;
    if (n > 0) {
      char text[512];
      decodeV1(frame, text);
      request = text;
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(request);
    }
    std::string reply = answer(request);
    if (reply == hold()) {
      pollfd p[2] = {{c, POLLIN, 0}, {fd_, POLLIN, 0}};
      ::poll(p, 2, 30000);  // until the client gives up or the peer is torn down
    } else if (reply == trickle()) {
      for (int i = 0; i < 300; ++i) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) != 0) break;  // the peer is torn down
        if (::send(c, "x", 1, MSG_NOSIGNAL) != 1) break;
      }
    } else if (!reply.empty()) {
      ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
    ::close(c);
  }
}

std::vector<std::string> fake_peer::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::string fake_peer::coded(const std::string& message) {
  unsigned char frame[1024];
  codeV1(message.c_str(), frame);
  return std::string(reinterpret_cast<char*>(frame), sizeof frame);
}

std::string fake_peer::plain_unknown() { return std::string("I love you.\0", 12) + std::string(1012, '\0'); }

}  // namespace testing_support
