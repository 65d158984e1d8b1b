#include "system/system_services.h"

#include "core/frame_loop.h"
#include "script/control_flow.h"
#include "system/file_list.h"
#include "system/system_dialogs.h"

void install_system_services() {
  window_event_filter = system_dialog_event_filter;
  control_flow_hooks.set_file_list_count = set_file_list_count;
}
