// Placeholder until the log writer lands.
#include "core/info_log.h"

void write_info_log_args(const char*, std::string_view, const std::vector<report_arg>&) {}
