// Start codes: enrollment codes (LLLL-LLLL-LLLL-LLLL-LLLL) issued to the local
// network, optionally with a last day of validity VDATE, and verified by
// anyone. Lines "CODE=<code>&[VDATE=<date>&]" in start_base/c1/c2/c3/scode.q
// and the journal list_start_base.q.
#pragma once

// Operation get_start_code (handler start_code; VDATE optional):
// "RE=get_start_code&CODE=<code>&[VDATE=<date>&]"; "RE=get_start_code&
// CODE=null&" for a caller outside the local network, a VDATE over 42
// characters, no code, or a start folder that cannot take it. 0 / -1.
int start_code(char* message, char* reply, const char* peer);
// Operation chk_scode (handler chk_start_code; CODE): "RE=chk_scode&STAT=done&"
// when the first line of the code's scode.q that contains CODE has not
// expired, else "RE=chk_scode&STAT=null&". 0 / -1.
int chk_start_code(char* message, char* reply);

// 0 when the first line of the file that contains pattern exists and (unless
// mode is "null") has no VDATE, VDATE "null", or a VDATE not yet past; -1
// otherwise or when the file cannot be opened.
int check_line_in_file(const char* path, const char* pattern, const char* mode);
// 1 when the leading number of date is today (YYYYMMDD, local time) or later,
// 0 when earlier, -1 when the clock cannot be read.
int valid_date(const char* date);
