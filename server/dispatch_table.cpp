#include "admin/admin_log.h"
#include "admin/restore.h"
#include "admin/version_config.h"
#include "registry/department_add.h"
#include "registry/department_block.h"
#include "registry/department_query.h"
#include "registry/identifiers.h"
#include "registry/nodes.h"
#include "registry/objects.h"
#include "registry/rs_numbers.h"
#include "registry/start_codes.h"
#include "registry/user_block.h"
#include "registry/users.h"
#include "server/dispatch.h"

namespace {
int get_uid64_row(char*, char* reply) { return get_UID64(reply); }
}  // namespace

// One row per operation, in the order the dispatcher tries them. Adding an
// operation is adding a row; the peer-address column is for the operations
// reserved to the local network.
const operation_row operation_table[] = {
    {"get_start_code", nullptr, start_code},
    {"chk_scode", chk_start_code, nullptr},
    {"get_UID64", get_uid64_row, nullptr},
    {"get_special_pesel", get_special_pesel, nullptr},
    {"add_department", add_department, nullptr},
    {"block_department", block_department, nullptr},
    {"get_dep_data", get_dep_data, nullptr},
    {"add_usr", add_usr, nullptr},
    {"check_user", check_user, nullptr},
    {"block_user_by_central_admin", block_user_by_central_admin, nullptr},
    {"block_user", block_user, nullptr},
    {"add_pesel_obj", add_pesel_obj, nullptr},
    {"get_nlines_pesel", get_nlines_pesel, nullptr},
    {"get_line_pesel_obj", get_line_pesel_obj, nullptr},
    {"get_node", get_node, nullptr},
    {"add_ip_node", add_ip_node, nullptr},
    {"versionTAVR", versionTAVR, nullptr},
    {"restore_files_local", nullptr, restore_files_local},
    {"get_tavr_config", get_tavr_config, nullptr},
    {"chg_tavr_config", nullptr, chg_tavr_config},
    {"log_adm", log_adm, nullptr},
    {"get_last_log", get_last_log, nullptr},
};
const std::size_t operation_count = sizeof operation_table / sizeof operation_table[0];
