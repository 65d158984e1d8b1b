// Drops object-tree nodes between test cases, so the next case (in this
// process or not) builds the trees again.
#pragma once
#include "core/object_tree.h"

// Frees every node below `n` (not `n` itself), deepest first.
inline void free_object_children(object_node* n) {
  while (object_node* c = n->first_child) {
    free_object_children(c);
    detach_node(c);
    free_object_node(c);
  }
}

// Frees the trees a whole game leaves behind, payloads included: layer
// records and pictures, menu records, tasks and sounds, and the windows'
// references into the layer tree. Start-up only makes the trees that do not
// exist yet, so without this a second game in the same process would run on
// the first one's layers.
void free_engine_trees();

// Puts back what the window procedure and the input sampling keep between
// ticks: key states and their counts, the sampled and published snapshots,
// the window events and the values scripts read from them, the drag layer.
void reset_input_records();

// Frees every tree's nodes, root included, and clears the roots. Payloads
// (kind records) are the caller's to free first.
inline void drop_object_trees() {
  for (object_tree_record& t : object_trees) {
    if (t.root) free_object_children(t.root);
    free_object_node(t.root);
    t.root = nullptr;
  }
}
