// The get_UID64 operation: a fresh UID32/EUID pair, not recorded anywhere.
#pragma once

int get_UID64(char* message);
