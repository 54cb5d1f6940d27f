// Start-up configuration: root check, velmorTAVR.config, optional mounting of
// the storage device on "DISK", and the report of the settings in force.
#pragma once

inline constexpr char config_file_name[] = "velmorTAVR.config";

// Ends the process (status 0) unless run as root; reads the file, mounts,
// prints the report. 0, or -1 after the "incorrct" report (the server still
// starts with what was read).
int read_config();
// Applies every line of the configuration file; -1 when it cannot be opened.
int read_config_file();
// Applies one configuration line (comments and unknown lines change nothing).
void apply_config_line(const char* line);
// The device to mount into device[20] ("null": none); 0 when the four mount
// points disagree.
int check_mount_points(char* device);
int mount_folders();
// 1 when device occurs in the output of "fdisk -l" / "df -h", 0 when not, -1
// when the command cannot be started.
int check_partition_disk(const char* device);
int check_mounted_disk(const char* device);
int umount_disk(const char* device);
int mmount_disk(const char* device);
// Prints the report of the settings to standard output.
void print_config_report();
