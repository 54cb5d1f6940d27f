#include "registry/department_add.h"
#include "registry/department_query.h"
#include "registry/identifiers.h"
#include "registry/nodes.h"
#include "server/dispatch.h"

namespace {
int get_uid64_row(char*, char* reply) { return get_UID64(reply); }
}  // namespace

// Adding an operation is adding a row.
const operation_row operation_table[] = {
    {"get_UID64", get_uid64_row, nullptr},
    {"add_department", add_department, nullptr},
    {"get_dep_data", get_dep_data, nullptr},
    {"add_ip_node", add_ip_node, nullptr},
    {"get_node", get_node, nullptr},
};
const std::size_t operation_count = sizeof operation_table / sizeof operation_table[0];
