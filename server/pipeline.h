// One received frame in, one reply frame out.
#pragma once

// Decodes frame[1024] into message[512] (shown in test mode).
void decode_request(unsigned char* frame, char* message);
// Dispatches the decoded message (overwritten by the reply) and leaves the
// reply frame in frame[1024]: the coded reply, or the plain "I love you."
// followed by zeros. The handler's result.
int answer_request(char* message, unsigned char* frame, const char* peer);
// decode_request and answer_request in one.
int executor(unsigned char* frame, const char* peer);
