// Sizes shared by every writer and reader of frames, messages and records.
#pragma once
#include <cstddef>

namespace fmt {
inline constexpr std::size_t frame_size = 1024;    // bytes on the wire, both directions
inline constexpr std::size_t block_size = 512;     // message, noise and key-table blocks
inline constexpr std::size_t message_size = 512;   // message buffer, terminator included
inline constexpr std::size_t message_max = 511;    // longest message a frame carries
inline constexpr std::size_t line_size = 512;      // record lines are read with this buffer
inline constexpr std::size_t line_max = 510;       // longest record text a line may carry
inline constexpr std::size_t peer_size = 16;       // dotted IPv4 text and terminator

// Field widths of stored records (terminator excluded).
inline constexpr std::size_t id_len = 32;          // UID32, EUID
inline constexpr std::size_t short_field_max = 39; // ports, user fields, identifiers
inline constexpr std::size_t name_max = 255;       // NAME
inline constexpr std::size_t dep_max = 15;         // DEP of a department
inline constexpr std::size_t pesel_len = 11;       // PESEL, NIP, REGON fields
inline constexpr std::size_t ip_max = 15;          // dotted IPv4 text

inline constexpr char unknown_reply[] = "I love you.";
inline constexpr char liveness_reply[] = "REPLY=velmorTAVR_CENTRAL&";
}  // namespace fmt
