// MD5 (RFC 1321) and the seed fold of the noise fallback.
#pragma once
#include <cstddef>
#include <cstdint>

extern std::uint32_t h0, h1, h2, h3;  // digest words of the latest md5 call

// Digest of len bytes into h0..h3 (each word's bytes, low first, are the
// digest bytes in order). Works in fixed buffers; never allocates.
void md5(const unsigned char* data, std::size_t len);
// Hex digest of text into hex[33] and the XOR of its four 8-digit groups into
// fold. Returns 0; -1 (hex "null") when no memory could be had, which cannot
// happen here since md5 allocates nothing.
int md5lib(const char* text, char* hex, std::uint32_t* fold);
