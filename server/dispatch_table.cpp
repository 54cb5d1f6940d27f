#include "admin/restore.h"
#include "registry/identifiers.h"
#include "server/dispatch.h"

namespace {
int get_uid64_row(char*, char* reply) { return get_UID64(reply); }
}  // namespace

// Adding an operation is adding a row.
const operation_row operation_table[] = {
    {"get_UID64", get_uid64_row, nullptr},
    {"restore_files_local", nullptr, restore_files_local},
};
const std::size_t operation_count = sizeof operation_table / sizeof operation_table[0];
