// The sound tree as the sound thread sees it. Sounds hang on nodes of the
// engine's named-object tree; this header is the only place that knows the
// node's shape, so the player reaches parent, children, group flag, ordering
// keys and payload only through the accessors below.
//
// Until the shared object tree is wired in, `sound_node` is a minimal node of
// the same shape (child list, parent, name, group flag, the two ordering keys
// and the kind record); the integrator replaces it with `object_node` and the
// three tree functions with `create_object_by_path` / `detach_node`.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

struct sound_record;

struct sound_node {
  sound_node* first_child = nullptr;
  sound_node* last_child = nullptr;
  sound_node* previous_sibling = nullptr;
  sound_node* next_sibling = nullptr;
  sound_node* parent = nullptr;
  std::string name;                 // empty only in the tree's top node
  uint32_t secondary_key = 0;       // first ordering key (lower half of the priority)
  int32_t primary_key = 0;          // second ordering key (upper half)
  uint8_t group_flag = 0;
  sound_record* kind_record = nullptr;
};

// The unnamed top node of the sound tree; null until the tree exists (the
// sound thread idles until then).
extern sound_node* sound_tree_root;

inline sound_node* sound_node_parent(sound_node* n) { return n->parent; }
inline sound_node* sound_node_first_child(sound_node* n) { return n->first_child; }
inline sound_node* sound_node_next_sibling(sound_node* n) { return n->next_sibling; }
inline bool sound_node_is_group(const sound_node* n) { return n->group_flag != 0; }
inline sound_record* sound_node_record(sound_node* n) { return n->kind_record; }
inline void set_sound_node_record(sound_node* n, sound_record* r) { n->kind_record = r; }
inline uint32_t sound_node_key1(const sound_node* n) { return n->secondary_key; }
inline int32_t sound_node_key2(const sound_node* n) { return n->primary_key; }
inline bool sound_node_is_top(const sound_node* n) { return n->parent == nullptr; }

// Makes the top node with its record and the group "S0" under it (primary
// key 1); returns the top node. Under engine_lock.
sound_node* create_sound_tree();
// A new child of `parent`, inserted by primary then secondary key after equal
// ones. Under engine_lock. Null when the parent is null.
sound_node* create_sound_node(sound_node* parent, std::string_view name, bool group, uint32_t key1, int32_t key2);
// The child of that name (any kind), or null. Takes engine_lock.
sound_node* find_sound_child(sound_node* parent, std::string_view name);
// Unlinks the node from its parent under engine_lock; returns the parent. The
// node and its record stay alive for the caller.
sound_node* detach_sound_node(sound_node* node);
// Frees the whole tree with its records (tests and final shutdown only).
void destroy_sound_tree();
