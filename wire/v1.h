// V1 frame coding: a message under fresh noise, the noise under the key table.
#pragma once

// Codes message (at most 511 characters are taken) into frame[1024].
void codeV1(const char* message, unsigned char* frame);
// Decodes frame[1024] into dst[512]. The text is always terminated: a frame
// with no zero byte in its 512 message bytes is cut at 511 characters. The
// frame's odd bytes hold the noise afterwards.
void decodeV1(unsigned char* frame, char* dst);

// The same with an explicit key table[512] instead of today's; codeV1 and
// decodeV1 are these with key_buf2 after bringing it up to date.
void codeV1_with_table(const char* message, const unsigned char* table, unsigned char* frame);
void decodeV1_with_table(unsigned char* frame, const unsigned char* table, char* dst);
