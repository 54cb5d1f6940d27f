#include "admin/admin_log.h"
#include "admin/version_config.h"
#include "registry/identifiers.h"
#include "registry/objects.h"
#include "registry/special.h"
#include "registry/start_codes.h"
#include "server/dispatch.h"

namespace {
int get_uid64_row(char*, char* reply) { return get_UID64(reply); }
}  // namespace

// Adding an operation is adding a row.
const operation_row operation_table[] = {
    {"get_UID64", get_uid64_row, nullptr},
    // Object lists, start codes and special numbers.
    {"add_pesel_obj", add_pesel_obj, nullptr},
    {"get_nlines_pesel", get_nlines_pesel, nullptr},
    {"get_line_pesel_obj", get_line_pesel_obj, nullptr},
    {"get_start_code", nullptr, start_code},
    {"chk_scode", chk_start_code, nullptr},
    {"get_special_pesel", get_special_pesel, nullptr},
    // Administration.
    {"versionTAVR", versionTAVR, nullptr},
    {"get_tavr_config", get_tavr_config, nullptr},
    {"chg_tavr_config", nullptr, chg_tavr_config},
    {"log_adm", log_adm, nullptr},
    {"get_last_log", get_last_log, nullptr},
};
const std::size_t operation_count = sizeof operation_table / sizeof operation_table[0];
