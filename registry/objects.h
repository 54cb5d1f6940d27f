// Object lists: lines "PESEL=<id>&UID32=<uid>&DEP=<dep>&" recorded against an
// 11-character identifier in its pesel.obj (PESEL base) and in the journal
// list_pesel_obj.q, counted and read back by line number (from 1).
#pragma once
#include <cstddef>

// Operation add_pesel_obj (PESEL, UID32, DEP): "RE=add_pesel_obj&STATUS=done&",
// also for an object already listed; refusals incorrect_qvector,
// incorrect_pesel, no_file. 0 / -1.
int add_pesel_obj(char* message, char* reply);
// Operation get_nlines_pesel (PESEL): "RE=get_nlines_pesel&NLINES=<n>&";
// NLINES=0 (and -1) for a bad identifier, no file or an empty one.
int get_nlines_pesel(char* message, char* reply);
// Operation get_line_pesel_obj (PESEL, NLINE): the stored line alone;
// refusals incorrect_qvector, wrong_nline[1] (NLINE <= 0), wrong_nline[2]
// (no such line). Lines are counted and read as the store's line reader
// sees them (a line over 511 characters is pieces of 511). 0 / -1.
int get_line_pesel_obj(char* message, char* reply);

// 0 when line is in the identifier's list afterwards (already there, or
// appended to pesel.obj and the journal); -1 when it cannot be.
int save_pesel_obj(const char* identifier, const char* line);
// 1 when some line of the file equals line exactly; 0 otherwise or when the
// file cannot be opened.
int check_line_in_file_obj(const char* path, const char* line);
// The number of lines of the identifier's pesel.obj; 0 when there is no path
// for the identifier or no file.
int get_nlines_obj(const char* identifier);
// Line number (from 1) of the identifier's pesel.obj, without its newline,
// into out[cap]. 0; -1 when there is no path, no file, or fewer lines; -2
// when the line does not fit out.
int read_obj_pesel_line(const char* identifier, long number, char* out, std::size_t cap);
