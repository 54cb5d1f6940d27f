// Process-wide settings. Written once by the start-up step before any request
// is served, read-only afterwards.
#pragma once

#include "base/format.h"

extern int port_central;           // central TCP port
extern char port[20];              // the port as decimal text
extern char uid32base[fmt::path_size];       // folder of the UID32 base
extern char pesel_base[fmt::path_size];      // folder of the PESEL base
extern char list_base[256];        // list folder (journals)
extern char start_base[256];       // start folder
extern char mount_point_UID[20];   // devices named in the configuration, or "null"
extern char mount_point_PESEL[20];
extern char mount_point_LIST[20];
extern char mount_point_START[20];
extern int test_mode;              // 1: diagnostics on standard output
extern int sync_writes;            // 1: no reply before the data it acknowledges is on the disk

// Puts every setting back to its default (start-up, and tests).
void reset_settings();
