#include "sound/sound_tree.h"

#include <mutex>

#include "core/engine_state.h"
#include "sound/sound_player.h"

sound_node* sound_tree_root = nullptr;

sound_node* create_sound_tree() {
  std::lock_guard<std::recursive_mutex> g(engine_lock);
  if (sound_tree_root) return sound_tree_root;
  auto* top = new sound_node;
  if (!alloc_sound_record(top)) {
    delete top;
    return nullptr;
  }
  sound_tree_root = top;
  sound_node* s0 = create_sound_node(top, "S0", true, 0, 1);
  if (s0) alloc_sound_record(s0);
  return top;
}

sound_node* create_sound_node(sound_node* parent, std::string_view name, bool group, uint32_t key1, int32_t key2) {
  if (!parent) return nullptr;
  std::lock_guard<std::recursive_mutex> g(engine_lock);
  auto* n = new sound_node;
  n->name.assign(name);
  n->group_flag = group ? 1 : 0;
  n->secondary_key = key1;
  n->primary_key = key2;
  n->parent = parent;
  // After every sibling whose keys are not greater.
  sound_node* after = parent->last_child;
  while (after && (after->primary_key > key2 || (after->primary_key == key2 && after->secondary_key > key1)))
    after = after->previous_sibling;
  n->previous_sibling = after;
  n->next_sibling = after ? after->next_sibling : parent->first_child;
  if (n->next_sibling) n->next_sibling->previous_sibling = n;
  else parent->last_child = n;
  if (after) after->next_sibling = n;
  else parent->first_child = n;
  return n;
}

sound_node* find_sound_child(sound_node* parent, std::string_view name) {
  if (!parent) return nullptr;
  std::lock_guard<std::recursive_mutex> g(engine_lock);
  for (sound_node* c = parent->first_child; c; c = c->next_sibling)
    if (c->name == name) return c;
  return nullptr;
}

sound_node* detach_sound_node(sound_node* node) {
  if (!node) return nullptr;
  std::lock_guard<std::recursive_mutex> g(engine_lock);
  sound_node* parent = node->parent;
  if (!parent) return nullptr;
  if (node->previous_sibling) node->previous_sibling->next_sibling = node->next_sibling;
  else parent->first_child = node->next_sibling;
  if (node->next_sibling) node->next_sibling->previous_sibling = node->previous_sibling;
  else parent->last_child = node->previous_sibling;
  node->previous_sibling = node->next_sibling = node->parent = nullptr;
  return parent;
}

namespace {
void destroy_subtree(sound_node* n) {
  sound_node* c = n->first_child;
  while (c) {
    sound_node* next = c->next_sibling;
    destroy_subtree(c);
    c = next;
  }
  free_sound_record(n->kind_record);
  delete n;
}
}  // namespace

void destroy_sound_tree() {
  std::lock_guard<std::recursive_mutex> g(engine_lock);
  if (sound_tree_root) destroy_subtree(sound_tree_root);
  sound_tree_root = nullptr;
}
