// One received frame in, one reply frame out.
#pragma once

// Decodes frame[1024], dispatches, and leaves the reply frame in place: the
// coded reply, or the plain "I love you." followed by zeros.
int executor(unsigned char* frame, const char* peer);
