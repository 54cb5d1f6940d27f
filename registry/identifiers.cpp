#include "registry/identifiers.h"

#include "base/format.h"
#include "ids/uid.h"
#include "wire/message.h"

int get_UID64(char* message) {
  char uid32[33];
  char euid[33] = "";
  text_builder reply(message, fmt::message_size);
  if (gen_UID64T(uid32, euid, 0) != 0) {
    reply.add("RE=create_uid64&STATUS=refused&");
    return -1;
  }
  reply.add("OP=get_UID64&").field("UID32", uid32).field("EUID", euid);
  return 0;
}
