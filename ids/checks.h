// Checks of identifier fields and of caller addresses.
#pragma once

// 1 when the 11-character PESEL field is well formed (NIP, REGON, special or
// PESEL form, with their check digits), 0 otherwise.
int check_form_pesel(const char* field);
// 1 when the dotted client address may use a local-network operation. allowed
// is one exact address, or "null" for the local-network rule.
int filtr_lan_ip(const char* address, const char* allowed);
