#include "image/cg_command_operations.h"

#include "core/error_report.h"
#include "core/info_log.h"

// Resizing, rotation and the layer-to-layer operations are not in this player
// yet: a script that asks for one is told so and its turn ends, instead of the
// layer silently keeping its old picture.
int run_cg_operation(const cg_operation_call& call) {
  write_info_log("ERR", "picture operation %d is not available", static_cast<int>(call.kind));
  report_error_at_line(900050, 1);
  return -1;
}
