#include "support/object_tree_reset.h"

#include <cstdlib>
#include <mutex>

#include "app/game_window.h"
#include "app/input.h"
#include "graphics/layer_record.h"
#include "script/system_values.h"
#include "script/task.h"
#include "sound/sound_player.h"
#include "system/menus.h"

namespace {
void free_menu_subtree(object_node* n) {
  while (object_node* c = n->first_child) {
    detach_node(c);
    free_menu_subtree(c);
  }
  delete menu_node_record(n);
  n->kind_record = nullptr;
  free_object_node(n);
}
}  // namespace

void free_engine_trees() {
  if (object_node* root = object_trees[tree_layers].root) {
    // Clears the window and message-window references as it goes.
    delete_layer_subtree(root);
    object_trees[tree_layers].root = nullptr;
  }
  if (object_node* root = object_trees[tree_menus].root) {
    object_trees[tree_menus].root = nullptr;
    free_menu_subtree(root);
  }
  destroy_task_payloads();
  destroy_sound_tree();
  for (object_tree_record& t : object_trees) t.current_path.clear();
  // The windows' own surfaces, as the window code frees them.
  for (layer_window_link& w : layer_links.windows) {
    if (!w.surface) continue;
    std::free(w.surface->pixel_block);
    std::free(w.surface->work_pixels);
    delete w.surface;
  }
  layer_links = {};
}

void reset_input_records() {
  for (key_state& k : key_states) k = key_state{};
  {
    std::lock_guard<std::mutex> g(input_exchange.lock);
    input_exchange.published = input_snapshot{};
    input_exchange.mouse_moved = 0;
    input_exchange.wheel = 0;
  }
  input_state.mouse_sampling = input_state.keyboard_sampling = 1;
  input_state.joystick_enabled = 0;
  input_state.current = input_snapshot{};
  for (uint8_t& lost : input_state.joystick_lost) lost = 0;
  input_state.joystick_count = 0;
  for (uint32_t& m : input_state.button_masks) m = 0;
  for (auto* v : {&window_events.close_pressed, &window_events.minimise_pressed, &window_events.maximise_pressed,
                  &window_events.title_double_click, &window_events.last_menu_command, &window_events.last_key,
                  &window_events.last_mouse_button})
    v->store(0);
  window_events.drag_pause_option = 0;
  window_events.drag_paused = 0;
  window_events.dialog_open = 0;
  {
    std::lock_guard<std::mutex> g(window_drag.lock);
    window_drag.layer = nullptr;
    window_drag.window = 0;
    window_drag.press_pending = 0;
  }
  kept_system_values = kept_system_values_record{};
}
