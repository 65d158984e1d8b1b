// Code-file loading and dispatch: any bytes are parsed as a code file with the
// player's key; a file that parses is installed as the start script and the
// SYSTEM task runs it for a few passes under an instruction budget. Nothing
// may read or write outside the code, the frames or the slots.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <memory>
#include <utility>
#include <vector>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "app/frame_loop.h"
#include "core/object_tree.h"
#include "format/canonical_commands.h"
#include "format/compiled_files.h"
#include "format/expression_compiler.h"
#include "format/pack_format.h"
#include "format/variable_image.h"
#include "platform/headless/headless_platform.h"
#include "resources/command_table.h"
#include "resources/compiled_loaders.h"
#include "script/expression.h"
#include "script/scheduler.h"
#include "script/script_code.h"
#include "script/task.h"
#include "script/variable_store.h"
#include "app/command_handlers.h"

namespace {

// Every handler call counts against the budget, so a script that never
// yields still ends.
command_handler real_handlers[command_slot_count];
uint32_t budget = 0;

template <int N>
int counted() {
  if (budget == 0) {
    quit_flag = 1;
    return 1;
  }
  --budget;
  return real_handlers[N]();
}

template <int... N>
void install_counted(std::integer_sequence<int, N...>) {
  ((command_handler_table[N] = counted<N>), ...);
}

void set_up() {
  // Commands reach the clock and pacing through the platform: a headless one
  // on a scratch folder.
  static const std::string folder = [] {
    std::filesystem::path p = std::filesystem::temp_directory_path() / "zarvik-fuzz-code-file";
    std::filesystem::create_directories(p);
    return p.string() + "/";
  }();
  static HeadlessPlatform host(folder);
  error_dialog_shown = 1;  // reports are counted, not shown
  install_expression_tables();
  install_scheduler();
  const std::vector<uint8_t> commands = write_command_file(canonical_command_file());
  install_command_handlers();
  install_command_file(commands.data(), commands.size());
  for (int i = 0; i < command_slot_count; ++i) real_handlers[i] = command_handler_table[i];
  install_counted(std::make_integer_sequence<int, command_slot_count>{});
  create_variable_table(1100, 0);
  std::vector<initial_variable_entry> image = system_variable_entries();
  for (uint16_t id = 1000; id < 1010; ++id) {
    initial_variable_entry e;
    e.variable_id = id;
    e.type = static_cast<uint8_t>(1 + id % 3);
    e.dimensions = {4};
    if (e.type == 3) append_text_literal(e.text_expression, "t");
    image.push_back(e);
  }
  set_initial_variable_image(write_variable_image(image));
  init_static_variables(-1);
  std::vector<compiled_label_record> labels;
  for (uint32_t k = 0; k < 6; ++k) {
    compiled_label_record l;
    l.name = std::string("L") + static_cast<char>('0' + k);
    l.position = k * 3;
    l.block_depth = static_cast<uint8_t>(k);
    l.loop_depth = static_cast<uint8_t>(k % 2);
    labels.push_back(l);
  }
  std::vector<uint8_t> label_file = write_label_file(labels);
  install_label_table(label_file.data(), label_file.size());
  std::vector<uint8_t> list = write_script_list_file({{0, "fuzz.txt", 0}});
  install_script_name_list(list.data(), list.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (set_up(), true);
  (void)ready;
  std::vector<uint8_t> bytes(data, data + size);
  std::unique_ptr<script_code> code(new script_code());
  if (parse_code_file(bytes.data(), bytes.size(), derive_code_file_key(), *code) != compiled_ok) return 0;
  quit_flag = 0;
  destroy_task_payloads();
  if (create_tree_roots() != 0) return 0;
  install_script_code(0, std::move(code));
  object_node* system = find_object_by_path(object_trees[tree_tasks].root, "SYSTEM", find_leaf);
  task_record* task = task_of(system);
  if (!task || switch_task_to_script(task, 0, 0) != 0) return 0;
  budget = 4096;
  for (int pass = 0; pass < 4 && !quit_flag; ++pass) {
    rerun_request = 0;
    ++frame_counters.script_tick;
    run_script_threads();
    task = task_of(find_object_by_path(object_trees[tree_tasks].root, "SYSTEM", find_leaf));
    if (task) task->wait_frames = 0, task->wake_time = 0, task->message_wait = 0;
  }
  return 0;
}
