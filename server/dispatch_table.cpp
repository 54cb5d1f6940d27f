#include "registry/identifiers.h"
#include "registry/users.h"
#include "server/dispatch.h"

namespace {
int get_uid64_row(char*, char* reply) { return get_UID64(reply); }
}  // namespace

// Adding an operation is adding a row.
const operation_row operation_table[] = {
    {"get_UID64", get_uid64_row, nullptr},
    {"add_usr", add_usr, nullptr},
    {"check_user", check_user, nullptr},
};
const std::size_t operation_count = sizeof operation_table / sizeof operation_table[0];
