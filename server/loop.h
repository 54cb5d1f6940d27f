// The connection server: one thread, one edge-triggered epoll set, one
// request and one 1024-byte reply per connection.
#pragma once

// Passive wildcard socket bound to service; -1 when none could be bound.
int create_and_bind(const char* service);
// Sets O_NONBLOCK; -1 after printing the "fcntl" error.
int ake_socket_nonblocking(int fd);
// Prints the system error with prefix and aborts.
[[noreturn]] void error(const char* prefix);
struct sockaddr_storage;
// The peer of an accepted connection as text into out[16]: dotted IPv4, also
// for IPv4-mapped IPv6 peers; other IPv6 peers as their text when it fits.
void render_peer(const sockaddr_storage& sa, char* out);
// Builds the listening socket and runs the loop forever.
[[noreturn]] void server();
