#include "support/object_tree_reset.h"

#include "graphics/layer_record.h"
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
  layer_links = {};
}
