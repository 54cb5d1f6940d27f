// The outgoing client: one synchronous coded request to a local server.
#pragma once

// One time-out for the connect wait and as the socket's send and receive
// time-outs. The server never changes them; tests shorten them.
extern long timeout_seconds;
extern long timeout_microsec;

// Sends request (at most 511 characters) to address:port and leaves the
// decoded reply in buf[512]; 0 when a reply was received and decoded, -1
// otherwise (buf then holds "null"). The address must be four decimal numbers
// 0 to 255 joined by dots (first one not 0, no leading zeros) and the port
// 1 to 65535, else nothing is connected. Only a whole 1024-byte frame that
// decodes to a line of text is a reply: the plain unknown reply, a short or
// partial answer, a closed connection and a time-out are not. verbose prints
// the failure lines.
int op_message(const char* address, int port, char* buf, int verbose);
// op_message with diagnostics on; the reply (or "null") goes to reply[512].
int client_U(const char* address, int port, const char* request, char* reply);
