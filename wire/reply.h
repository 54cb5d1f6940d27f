// The two reply forms of a handler, written over the request in its buffer:
// "RE=<op>&STATUS=done&" with result fields, and
// "RE=<op>&STATUS=refused&CP=<cause>&". The few operations whose replies
// depart from these forms write their own.
#pragma once
#include <string_view>

#include "base/text.h"

// A builder over reply (fmt::message_size bytes) holding the done reply of
// op, for the result fields that follow.
text_builder done_reply(char* reply, std::string_view op);
// The done reply of op followed by fields (KEY=value& text): 0, or -1 when
// it would not fit the message (reply then holds what fit).
int reply_done(char* reply, std::string_view op, std::string_view fields = {});
// The refused reply of op with its cause code; always -1, the handler's
// result for a refusal, so a handler ends with `return reply_refused(...)`.
int reply_refused(char* reply, std::string_view op, std::string_view cause);
// "RE=<op>&STATUS=refused&<word>&": a refusal without a cause field (the
// "gen_error" of the user operations); always -1.
int reply_refused_bare(char* reply, std::string_view op, std::string_view word);
