// The numerator's counter file between the list folder and the data folder.
#pragma once

// Puts the list folder's copy of rs_last_number.txt back into the data
// folder, as "cp LIST/rs_last_number.txt DATA/rs_last_number.txt" does: a
// missing or unreadable copy leaves the data folder's file as it is. The new
// file is written whole beside the old one and renamed over it, so a failure
// on the way never leaves half a counter.
void restore_counter_file();
