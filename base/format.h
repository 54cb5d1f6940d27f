// Sizes and file names shared by every writer and reader of frames,
// messages, records and the files that hold them.
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
inline constexpr std::size_t path_size = 512;      // a path in the data trees, terminator included

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

// The files of the data trees and of the list folder.
namespace fname {
// In a UID32 entry.
inline constexpr char node[] = "node.q";          // a firm's department lines
inline constexpr char node_tmp[] = "TMP";         // node.q being rewritten by a block
inline constexpr char user[] = "usr.q";           // a user's versions
inline constexpr char address[] = "ip.q";         // the address of the firm's local server
// In a PESEL-base directory.
inline constexpr char firm[] = "pesel.nod";       // a firm's department lines, by NIP or REGON
inline constexpr char firm_tmp[] = "tmp.q";       // pesel.nod being rewritten by a block
inline constexpr char person_users[] = "pesel.usr";
inline constexpr char person_objects[] = "pesel.obj";
// In a start-folder directory.
inline constexpr char start_code[] = "scode.q";
// The journals of the list folder, one per kind of line.
inline constexpr char users_journal[] = "list_pesel_usr.q";
inline constexpr char objects_journal[] = "list_pesel_obj.q";
inline constexpr char firms_journal[] = "list_pesel_nod.q";
inline constexpr char entries_journal[] = "list_uid32base.q";  // node.q and usr.q lines
inline constexpr char address_list[] = "list_ip.nq";           // fixed 65-byte records
inline constexpr char start_journal[] = "list_start_base.q";
// Beside the journals: which of their lines a block put in place of a line
// (rather than after the file's last), and which never reached their tree.
inline constexpr char journal_notes[] = "list_in_place.q";
// In the data folder (and, as a copy, in the list folder).
inline constexpr char admin_log[] = "log.q";
inline constexpr char counter[] = "rs_last_number.txt";
}  // namespace fname
