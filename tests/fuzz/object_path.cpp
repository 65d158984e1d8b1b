// Object paths come from scripts: resolution, creation and lookup must hold
// for any bytes, and a created node must be found again by its path.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/object_tree.h"

namespace {
void free_tree(object_node* n) {
  while (object_node* c = n->first_child) {
    free_tree(c);
    detach_node(c);
    free_object_node(c);
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // current path, NUL, name
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t nul = input.find('\0');
  std::string current = nul == std::string::npos ? "W0" : input.substr(0, nul);
  std::string name = nul == std::string::npos ? input : input.substr(nul + 1);
  std::string out;
  int kind = resolve_object_path(out, name, current, size & 1);
  if (kind < 0) return 0;
  object_node root;
  object_node* n = create_object_by_path(&root, out, kind, 0, static_cast<int32_t>(size));
  if (n) {
    if (find_object_by_path(&root, out, kind ? find_group : find_leaf) != n) __builtin_trap();
    if (find_object_by_path(&root, out, find_any) != n) __builtin_trap();
  }
  free_tree(&root);
  return 0;
}
