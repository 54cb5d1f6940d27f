// Blocking users: block_user records the version the caller sends;
// block_user_by_central_admin gives the user a fresh EUIDP, records it and
// tells the local server of the user's node.
#pragma once

int block_user(char* message, char* reply);
int block_user_by_central_admin(char* message, char* reply);
// Sends "OP=block_user_by_TAVR&PESEL=...&EUIDP=...&" to the local server of
// the node (address from its ip.q, port from the PUID of its last node.q
// line). 0 when the server accepted, -1 otherwise.
int send_block_usr_to_SOLK(const char* node_uid32, const char* pesel, const char* new_euidp);
