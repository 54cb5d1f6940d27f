// Version and configuration operations: the version file BIN/version, and the
// central port in velmorTAVR.config (changed for the next start only).
#pragma once

// Operation versionTAVR: "RE=versionTAVR&VER=<line 1>&SYS=<line 2>&"; a line
// the file does not have reports "null". No file: VER=null&SYS=null&
// CP=no_file&. 0 / -1.
int versionTAVR(char* message, char* reply);
// Operation get_tavr_config: "RE=get_tavr_config&PORTTAVR=<port>&", the
// PORT_CENTRAL value of the last line that mentions PORT_CENTRAL ("null" when
// none gives one). No file: IPTAVR=null&PORTTAVR=null&CP=no_file&. 0 / -1.
int get_tavr_config(char* message, char* reply);
// Operation chg_tavr_config (PORTTAVR: digits only, 1 to 65535, else
// incorrect_qvector and the file untouched), local network only: every line that
// mentions PORT_CENTRAL becomes "PORT_CENTRAL=<value>&"; the complete new file
// replaces the configuration in one rename. Refusals wrong_lan_ip,
// incorrect_qvector, and IPTAVR=null&PORTTAVR=null&CP=no_file[1] / [2]. 0 / -1.
int chg_tavr_config(char* message, char* reply, const char* peer);
