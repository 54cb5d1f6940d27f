#include "wire/reply.h"

#include "base/format.h"

text_builder done_reply(char* reply, std::string_view op) {
  text_builder b(reply, fmt::message_size);
  b.field("RE", op).add("STATUS=done&");
  return b;
}

int reply_done(char* reply, std::string_view op, std::string_view fields) {
  return done_reply(reply, op).add(fields).ok() ? 0 : -1;
}

int reply_refused(char* reply, std::string_view op, std::string_view cause) {
  text_builder(reply, fmt::message_size).field("RE", op).add("STATUS=refused&").field("CP", cause);
  return -1;
}

int reply_refused_bare(char* reply, std::string_view op, std::string_view word) {
  text_builder(reply, fmt::message_size).field("RE", op).add("STATUS=refused&").add(word).add("&");
  return -1;
}
