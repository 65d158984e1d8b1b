// Named-object trees: layers, script tasks, sounds and menus all live in trees of
// `object_node`, addressed by '/'-separated Shift-JIS paths relative to the
// tree's current path. Leaves are found through a sorted hash index per parent;
// groups by walking the (short) ordered child list.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct object_node;

// The sorted child index of one parent: the children's hashes in ascending
// order (a new key goes before an equal one), the nodes in parallel, and per top
// byte of the hash the first position and the number of keys. The arrays grow
// as needed; the original 4096-entry limit is not part of any file.
struct object_child_index {
  std::vector<uint32_t> keys;
  std::vector<object_node*> nodes;
  uint32_t bucket_start[257] = {};
  uint32_t bucket_count[257] = {};
};

struct object_node {
  object_node* first_child = nullptr;
  object_node* last_child = nullptr;
  object_node* prev_sibling = nullptr;
  object_node* next_sibling = nullptr;
  object_node* parent = nullptr;
  std::string name;  // last path component (Shift-JIS); empty in a tree root
  int32_t name_length = 0;
  uint32_t hash = 0;  // bit 31: group flag; bits 0..30: name_hash(name)
  std::unique_ptr<object_child_index> index;  // made with the first child
  int32_t child_count = 0;
  uint32_t key1 = 0;  // secondary sort key (lower half of the priority, unsigned)
  int32_t key2 = 0;   // primary sort key (upper half of the priority, signed)
  uint8_t is_group = 0;
  void* kind_record = nullptr;  // payload, owned by the node's kind
};

// Stored hash of a name: (group << 31) | (MurmurHash2 & 0x7FFFFFFF).
uint32_t object_name_key(std::string_view name, bool group);
inline int32_t object_index_entry_count(const object_node* n) {
  return n && n->index ? static_cast<int32_t>(n->index->keys.size()) : 0;
}

// ---------------------------------------------------------------- the trees

enum object_tree_id : int { tree_layers = 0, tree_tasks = 1, tree_sounds = 2, tree_menus = 3, object_tree_count = 4 };

// A stored current path holds at most this many bytes (a 256-byte string).
constexpr size_t object_current_path_max = 255;

struct object_tree_record {
  object_node* root = nullptr;
  std::string current_path;  // Shift-JIS, never longer than object_current_path_max
};
extern object_tree_record object_trees[object_tree_count];

// Payload makers, filled at start-up by the subsystems that own each kind
// (cg_record, task_record, sound_record, menu_record). `root` attaches the root's
// payload; `first_node` is called for each node that create_tree_roots makes
// under the root (the layer kind also sizes "W0" and attaches it to the main
// window, the task kind marks "SYSTEM" as the system task, the menu kind
// captions "M0"). Each returns 0, or nonzero after reporting its failure.
struct object_tree_payload_hooks {
  int (*root)(object_node* root) = nullptr;
  int (*first_node)(object_node* node) = nullptr;
};
extern object_tree_payload_hooks object_tree_hooks[object_tree_count];

// Builds the four roots and their first nodes ("W0"; the empty group and
// "SYSTEM"; "S0"; "M0") and sets the current paths. 0, or -1 on failure.
int create_tree_roots();

// Stores a tree's current path, cut (never inside a double-byte character) to
// object_current_path_max bytes.
void set_object_current_path(int tree, std::string_view path);
const std::string& object_current_path(int tree);

// ---------------------------------------------------------------- paths

// Normalises `name` against `current_path` into `out` (no trailing '/').
// 1: the path names a group (it ended in '/'); 0: a leaf path (also for an empty
// working path, which leaves `out` unchanged); -1: a space where spaces are
// refused (error 100242 already reported).
int resolve_object_path(std::string& out, std::string_view name, std::string_view current_path, int allow_spaces);

enum object_find_mode : int { find_leaf = 0, find_group = 1, find_any = 2 };

// Looks a resolved path up under `root`. Intermediate components must be groups
// (a missing one reports 100230 naming it); a missing last component is silent.
object_node* find_object_by_path(object_node* root, std::string_view path, int mode);

// The child group of that name, or null.
object_node* find_child_by_name(object_node* parent, const char* name, size_t length);
inline object_node* find_child_by_name(object_node* parent, std::string_view name) {
  return find_child_by_name(parent, name.data(), name.size());
}

// Makes a node from a resolved path (the parent groups must exist; a name that
// exists already is not looked for). Null after reporting 900020 (no path),
// 100230 (missing group) or 100010 (out of memory).
object_node* create_object_by_path(object_node* root, const char* path, int group, uint32_t secondary_key,
                                   int32_t primary_key);
object_node* create_object_by_path(object_node* root, std::string_view path, int group, uint32_t secondary_key,
                                   int32_t primary_key);

// Removes the node from its parent's index and child list; returns the parent
// (null for a node without one). The node and its payload stay alive.
object_node* detach_node(object_node* node);

// Gives a node a new name and re-keys its entry in the parent's index (the
// layer exchange swaps names). 0, or -1 after reporting 100010.
int rename_object_node(object_node* node, std::string_view name);

// Frees a detached node's name and child index, then the node; the payload is
// the caller's. Children are not touched.
void free_object_node(object_node* node);
// Frees only the name and the child index (sound nodes keep their storage).
void release_object_node_storage(object_node* node);

// ---------------------------------------------------------------- ordered child list

// Inserts before the first child of greater priority (key2, then key1 unsigned);
// equal priorities go after the existing ones. Sets parent and keys, counts the child.
void insert_node_sorted(object_node* parent, object_node* node, uint32_t key1, int32_t key2);
// Unlinks the node from the parent's sibling list and uncounts it.
void unlink_node(object_node* parent, object_node* node);
// Moves a node to the place of new keys among its siblings; 1, or 0 without a parent.
int reorder_node(object_node* node, uint32_t key1, int32_t key2);
// The n-th child counting from 1 (n below 2: the first); null past the end.
object_node* nth_child(object_node* parent, int64_t n);
