// Identifiers: UID32 (3 capitals, clock digits, random digits), EUID (32
// small letters), their pair, and start codes (LLLL-LLLL-LLLL-LLLL-LLLL).
#pragma once

// A fresh UID32 into out[33]; 0, or -1 (out must not be used then).
int gen_UID32_TRUE(char* out);
// buf[33] holds the previous text on entry; on 0 it holds a fresh EUID that
// differs from it. -1 after a random-source failure ("NULL") or 20 equal draws.
int gen_EUID_TRUE(char* buf);
// The 8-4-4-4-12 grouped form of a 32-character identifier into dst[37].
void format_UID32(const char* src, char* dst);
// A UID32 into uid32_out[33], then an EUID into euid_buf[33] (rule of
// gen_EUID_TRUE); grouped forms on request (buffers then 37 bytes). 0 or -1.
int gen_UID64T(char* uid32_out, char* euid_buf, int grouped);
// A start code into out[25]; 0 or -1.
int gen_start_code(char* out);
int start_CODE(char* out);
