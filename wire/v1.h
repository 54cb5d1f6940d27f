// V1 frame coding: a message under fresh noise, the noise under the key table.
#pragma once

// Codes message (at most 511 characters are taken) into frame[1024].
void codeV1(const char* message, unsigned char* frame);
// Decodes frame[1024] into dst[512]. The text is always terminated: a frame
// with no zero byte in its 512 message bytes is cut at 511 characters. The
// frame's odd bytes hold the noise afterwards.
void decodeV1(unsigned char* frame, char* dst);
