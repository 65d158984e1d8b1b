#include "core/object_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "format/hashes.h"
#include "platform/headless/headless_platform.h"
#include "support/temp_folder.h"

namespace {

struct tree_fixture : ::testing::Test {
  temp_folder folder;
  HeadlessPlatform hp{folder.path()};
  object_node root;

  ~tree_fixture() override { free_children(&root); }

  static void free_children(object_node* n) {
    while (object_node* c = n->first_child) {
      free_children(c);
      detach_node(c);
      free_object_node(c);
    }
  }
  // The dialog is shown once per run; tests that look at several errors re-arm it.
  std::string last_error_text() {
    auto boxes = hp.ui.boxes();
    error_dialog_shown = 0;
    return boxes.empty() ? std::string() : boxes.back().text;
  }
};

// Every invariant of a parent's child index and child list.
void expect_consistent(const object_node* parent) {
  std::vector<const object_node*> list;
  for (const object_node* c = parent->first_child; c; c = c->next_sibling) {
    ASSERT_EQ(c->parent, parent);
    ASSERT_EQ(c->prev_sibling, list.empty() ? nullptr : list.back());
    list.push_back(c);
  }
  ASSERT_EQ(parent->last_child, list.empty() ? nullptr : list.back());
  ASSERT_EQ(parent->child_count, static_cast<int32_t>(list.size()));
  for (size_t i = 1; i < list.size(); ++i) {
    int64_t a = (int64_t{list[i - 1]->key2} << 32) | list[i - 1]->key1;
    int64_t b = (int64_t{list[i]->key2} << 32) | list[i]->key1;
    ASSERT_LE(a, b) << "child list out of priority order at " << i;
  }
  if (!parent->index) {
    ASSERT_TRUE(list.empty());
    return;
  }
  const object_child_index& ix = *parent->index;
  ASSERT_EQ(ix.keys.size(), ix.nodes.size());
  ASSERT_EQ(ix.keys.size(), list.size());
  ASSERT_TRUE(std::is_sorted(ix.keys.begin(), ix.keys.end()));
  uint32_t running = 0;
  for (int b = 0; b < 256; ++b) {
    ASSERT_EQ(ix.bucket_start[b], running) << "bucket " << b;
    uint32_t count = 0;
    for (uint32_t k : ix.keys) count += (k >> 24) == static_cast<uint32_t>(b);
    ASSERT_EQ(ix.bucket_count[b], count) << "bucket " << b;
    running += count;
  }
  ASSERT_EQ(ix.bucket_start[256], running);
  std::set<const object_node*> indexed;
  for (size_t i = 0; i < ix.keys.size(); ++i) {
    ASSERT_EQ(ix.nodes[i]->hash, ix.keys[i]);
    ASSERT_EQ(ix.nodes[i]->hash, object_name_key(ix.nodes[i]->name, ix.nodes[i]->is_group));
    indexed.insert(ix.nodes[i]);
  }
  ASSERT_EQ(indexed, std::set<const object_node*>(list.begin(), list.end()));
}

}  // namespace

TEST(ObjectPath, DesignedCases) {
  std::string out = "unchanged";
  EXPECT_EQ(resolve_object_path(out, "a/b/", "W0", 0), 1);
  EXPECT_EQ(out, "W0/a/b");
  EXPECT_EQ(resolve_object_path(out, ":/x", "W0", 0), 0);
  EXPECT_EQ(out, "x");
  EXPECT_EQ(resolve_object_path(out, "../x", "W0/a", 0), 0);
  EXPECT_EQ(out, "W0/x");

  // No '.', ':' or '/': current path and name, nothing else looked at.
  EXPECT_EQ(resolve_object_path(out, "abc", "W0", 0), 0);
  EXPECT_EQ(out, "W0/abc");
  EXPECT_EQ(resolve_object_path(out, "abc", "", 0), 0);
  EXPECT_EQ(out, "abc");
  EXPECT_EQ(resolve_object_path(out, "a b", "W0", 0), 0);  // spaces are only checked on the long path
  EXPECT_EQ(out, "W0/a b");

  EXPECT_EQ(resolve_object_path(out, ":x/y", "W0", 0), 0);
  EXPECT_EQ(out, "x/y");
  EXPECT_EQ(resolve_object_path(out, "/x", "W0", 0), 0);  // a leading '/' is still relative
  EXPECT_EQ(out, "W0/x");
  EXPECT_EQ(resolve_object_path(out, "./a/./b", "W0", 0), 0);
  EXPECT_EQ(out, "W0/a/b");
  EXPECT_EQ(resolve_object_path(out, "../../../x", "W0", 0), 0);  // nothing is removed at the start
  EXPECT_EQ(out, "x");
  EXPECT_EQ(resolve_object_path(out, "a/..", "W0", 0), 0);  // two dots at the very end are copied
  EXPECT_EQ(out, "W0/a/..");
  EXPECT_EQ(resolve_object_path(out, "a/../", "W0", 0), 1);
  EXPECT_EQ(out, "W0");
  EXPECT_EQ(resolve_object_path(out, "x.png", "", 0), 0);
  EXPECT_EQ(out, "x.png");

  out = "kept";
  EXPECT_EQ(resolve_object_path(out, ":", "W0", 0), 0);  // empty working path
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(resolve_object_path(out, ":/", "W0", 0), 0);
  EXPECT_EQ(out, "kept");

  // The output may be the very string that holds the name.
  std::string same = "a/./b/";
  EXPECT_EQ(resolve_object_path(same, same, "W0", 0), 1);
  EXPECT_EQ(same, "W0/a/b");
  same = "plain";
  EXPECT_EQ(resolve_object_path(same, same, "W0", 0), 0);
  EXPECT_EQ(same, "W0/plain");

  // Long inputs are not cut here; only stored current paths are bounded.
  std::string long_name(1000, 'n');
  EXPECT_EQ(resolve_object_path(out, "a/" + long_name, "W0", 0), 0);
  EXPECT_EQ(out, "W0/a/" + long_name);
}

TEST_F(tree_fixture, SpacesRefusedWithErrorWhereAsked) {
  error_table.codes = {100242};
  error_table.texts = {"space in [%s]"};
  std::string out = "kept";
  EXPECT_EQ(resolve_object_path(out, "a b/c", "W0", 0), -1);
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(quit_flag, 1);
  EXPECT_EQ(last_error_text(), "space in [W0/a b/c]");
  EXPECT_EQ(resolve_object_path(out, "a b/c", "W0", 1), 0);
  EXPECT_EQ(out, "W0/a b/c");
}

TEST(ObjectPath, ShiftJisTrailBytesNeverSplit) {
  std::string out;
  // 0x81 0x2F: a double-byte character whose second byte is '/'.
  EXPECT_EQ(resolve_object_path(out, "a\x81/b", "W0", 0), 0);
  EXPECT_EQ(out, "W0/a\x81/b");
  // Ends in a trail byte '/': a leaf, not a group.
  EXPECT_EQ(resolve_object_path(out, ":x\x81/", "", 0), 0);
  EXPECT_EQ(out, "x\x81/");
  EXPECT_EQ(resolve_object_path(out, ":x\x81//", "", 0), 1);
  EXPECT_EQ(out, "x\x81/");
  // A trail byte '.' is no special character either, nor one of "..".
  EXPECT_EQ(resolve_object_path(out, "\x81.", "W0", 0), 0);
  EXPECT_EQ(out, "W0/\x81.");
  // "表" 0x95 0x5C and "ソ" 0x83 0x5C keep their '\' trail bytes.
  EXPECT_EQ(resolve_object_path(out, "\x95\x5C/../\x83\x5C/", "W0", 0), 1);
  EXPECT_EQ(out, "W0/\x83\x5C");
  // A space as the second byte of a double-byte character is no space.
  EXPECT_EQ(resolve_object_path(out, "a\x81 /b", "W0", 0), 0);
  EXPECT_EQ(out, "W0/a\x81 /b");
}

TEST_F(tree_fixture, ShiftJisNamesInTheTree) {
  object_node* w0 = create_object_by_path(&root, "W0", 1, 0, 1);
  ASSERT_NE(w0, nullptr);
  object_node* g = create_object_by_path(&root, "W0/\x95\x5C", 1, 0, 1);  // "表"
  ASSERT_NE(g, nullptr);
  object_node* leaf = create_object_by_path(&root, "W0/\x95\x5C/\x83\x5C\x81/", 0, 0, 1);  // "ソ" then 0x81 0x2F
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(leaf->name, "\x83\x5C\x81/");
  EXPECT_EQ(leaf->parent, g);
  EXPECT_EQ(find_object_by_path(&root, "W0/\x95\x5C/\x83\x5C\x81/", find_leaf), leaf);
  EXPECT_EQ(find_object_by_path(&root, "W0/\x95\x5C", find_group), g);
  EXPECT_EQ(find_child_by_name(w0, "\x95\x5C"), g);
  EXPECT_EQ(hp.ui.boxes().size(), 0u);
}

TEST_F(tree_fixture, LookupModesAndCollidingHashes) {
  // "L30894" and "L39814" share the 31-bit hash.
  ASSERT_EQ(name_hash("L30894") & 0x7FFFFFFF, name_hash("L39814") & 0x7FFFFFFF);
  object_node* a = create_object_by_path(&root, "L30894", 0, 0, 1);
  object_node* b = create_object_by_path(&root, "L39814", 0, 0, 1);
  object_node* g = create_object_by_path(&root, "L39814", 1, 0, 1);  // a group of the same name
  ASSERT_TRUE(a && b && g);
  EXPECT_EQ(a->hash, b->hash);
  EXPECT_EQ(g->hash, b->hash | 0x80000000u);
  EXPECT_EQ(a->name_length, 6);
  EXPECT_EQ(find_object_by_path(&root, "L30894", find_leaf), a);
  EXPECT_EQ(find_object_by_path(&root, "L39814", find_leaf), b);
  EXPECT_EQ(find_object_by_path(&root, "L39814", find_group), g);
  EXPECT_EQ(find_object_by_path(&root, "L30894", find_group), nullptr);
  EXPECT_EQ(find_object_by_path(&root, "L30894", find_any), a);
  EXPECT_EQ(find_object_by_path(&root, "L39814", find_any), b);  // first in list order
  EXPECT_EQ(find_child_by_name(&root, "L39814"), g);
  EXPECT_EQ(find_child_by_name(&root, "L30894"), nullptr);
  EXPECT_EQ(find_object_by_path(&root, "l30894", find_leaf), nullptr);  // names are case-sensitive
  EXPECT_EQ(find_object_by_path(&root, "L3089", find_leaf), nullptr);
  EXPECT_EQ(find_object_by_path(&root, "L30894", 7), nullptr);
  expect_consistent(&root);
  EXPECT_EQ(hp.ui.boxes().size(), 0u);  // a missing last component is silent
}

TEST_F(tree_fixture, SortKeysOrderSiblingsAndKeepCreationOrder) {
  object_node* first5 = create_object_by_path(&root, "p", 0, 0, 5);
  object_node* second5 = create_object_by_path(&root, "q", 0, 0, 5);
  object_node* three = create_object_by_path(&root, "r", 0, 0, 3);
  object_node* same_a = create_object_by_path(&root, "s", 0, 7, 5);
  object_node* same_b = create_object_by_path(&root, "s", 0, 7, 5);  // same name, same keys
  object_node* big = create_object_by_path(&root, "t", 0, 0xFFFFFFFFu, 4);  // key1 is unsigned
  object_node* negative = create_object_by_path(&root, "u", 0, 0, -1);
  std::vector<object_node*> order;
  for (object_node* c = root.first_child; c; c = c->next_sibling) order.push_back(c);
  EXPECT_EQ(order, (std::vector<object_node*>{negative, three, big, first5, second5, same_a, same_b}));
  EXPECT_EQ(nth_child(&root, 0), negative);
  EXPECT_EQ(nth_child(&root, 3), big);
  EXPECT_EQ(nth_child(&root, 8), nullptr);
  EXPECT_EQ(reorder_node(negative, 0, 100), 1);
  EXPECT_EQ(root.last_child, negative);
  EXPECT_EQ(reorder_node(&root, 0, 0), 0);
  expect_consistent(&root);
}

TEST_F(tree_fixture, MissingGroupReportsAndCreatesNothing) {
  error_table.codes = {100230};
  error_table.texts = {"missing [%s]"};
  ASSERT_NE(create_object_by_path(&root, "W0", 1, 0, 1), nullptr);
  ASSERT_NE(create_object_by_path(&root, "W0/leaf", 0, 0, 1), nullptr);  // a leaf is no group
  object_node* w0 = root.first_child;
  EXPECT_EQ(create_object_by_path(&root, "W0/nope/x", 0, 0, 1), nullptr);
  EXPECT_EQ(quit_flag, 1);
  EXPECT_EQ(last_error_text(), "missing [nope]");
  EXPECT_EQ(w0->child_count, 1);
  EXPECT_EQ(object_index_entry_count(w0), 1);
  EXPECT_EQ(create_object_by_path(&root, "W0/leaf/x", 0, 0, 1), nullptr);
  EXPECT_EQ(last_error_text(), "missing [leaf]");
  EXPECT_EQ(find_object_by_path(&root, "W1/x", find_leaf), nullptr);
  EXPECT_EQ(last_error_text(), "missing [W1]");
  EXPECT_EQ(root.child_count, 1);

  // No path at all.
  error_table = {};
  EXPECT_EQ(create_object_by_path(&root, static_cast<const char*>(nullptr), 0, 0, 1), nullptr);
  EXPECT_EQ(hp.ui.boxes().size(), 4u);
  expect_consistent(&root);
  expect_consistent(w0);
}

TEST_F(tree_fixture, DetachRenameAndFree) {
  object_node* g = create_object_by_path(&root, "g", 1, 0, 1);
  object_node* x = create_object_by_path(&root, "g/x", 0, 0, 1);
  object_node* y = create_object_by_path(&root, "g/y", 0, 0, 2);
  EXPECT_EQ(detach_node(x), g);
  EXPECT_EQ(x->parent, nullptr);
  EXPECT_EQ(detach_node(x), nullptr);
  EXPECT_EQ(find_object_by_path(&root, "g/x", find_leaf), nullptr);
  EXPECT_EQ(g->child_count, 1);
  expect_consistent(g);
  free_object_node(x);

  EXPECT_EQ(rename_object_node(y, "renamed"), 0);
  EXPECT_EQ(find_object_by_path(&root, "g/y", find_leaf), nullptr);
  EXPECT_EQ(find_object_by_path(&root, "g/renamed", find_leaf), y);
  expect_consistent(g);

  // A hash changed behind the index's back is still detached cleanly.
  y->hash ^= 0x01000000u;
  EXPECT_EQ(detach_node(y), g);
  EXPECT_EQ(object_index_entry_count(g), 0);
  free_object_node(y);
  release_object_node_storage(g);
  EXPECT_EQ(g->index, nullptr);
  EXPECT_TRUE(g->name.empty());
}

TEST_F(tree_fixture, IndexGrowsPastFourThousandNinetySixAndStaysConsistent) {
  std::mt19937 rng(12345);
  std::map<std::string, object_node*> alive;
  int serial = 0;
  for (int step = 0; step < 20000; ++step) {
    bool insert = alive.size() < 200 || rng() % 100 < 65;
    if (insert) {
      std::string name = "n" + std::to_string(serial++);
      int group = rng() % 8 == 0;
      object_node* n = create_object_by_path(&root, name, group, rng() % 3, static_cast<int32_t>(rng() % 5) - 2);
      ASSERT_NE(n, nullptr);
      alive[name] = n;
    } else {
      auto it = alive.begin();
      std::advance(it, rng() % alive.size());
      ASSERT_EQ(detach_node(it->second), &root);
      free_object_node(it->second);
      alive.erase(it);
    }
    if (step % 2500 == 0) expect_consistent(&root);
  }
  ASSERT_GT(alive.size(), 4097u);
  expect_consistent(&root);
  for (const auto& [name, node] : alive)
    ASSERT_EQ(find_object_by_path(&root, name, node->is_group ? find_group : find_leaf), node) << name;
  EXPECT_EQ(hp.ui.boxes().size(), 0u);
}

TEST(ObjectTrees, RootsAndFirstNodes) {
  static std::vector<std::string> calls;
  // Only the hooks set here: a game earlier in the process leaves the sound
  // and menu ones installed, whose records this case would not free.
  for (object_tree_payload_hooks& h : object_tree_hooks) h = {};
  object_tree_hooks[tree_layers].root = [](object_node*) { return calls.push_back("layers root"), 0; };
  object_tree_hooks[tree_layers].first_node = [](object_node* n) { return calls.push_back("layer " + n->name), 0; };
  object_tree_hooks[tree_tasks].first_node = [](object_node* n) { return calls.push_back("task " + n->name), 0; };
  ASSERT_EQ(create_tree_roots(), 0);
  EXPECT_EQ(calls, (std::vector<std::string>{"layers root", "layer W0", "task ", "task SYSTEM"}));

  object_node* w0 = find_object_by_path(object_trees[tree_layers].root, "W0", find_group);
  ASSERT_NE(w0, nullptr);
  EXPECT_EQ(w0->key2, 1);
  EXPECT_EQ(object_current_path(tree_layers), "W0");

  object_node* tasks = object_trees[tree_tasks].root;
  object_node* system = find_object_by_path(tasks, "SYSTEM", find_leaf);
  ASSERT_NE(system, nullptr);
  EXPECT_EQ(system->key2, 100);
  EXPECT_EQ(tasks->child_count, 2);
  EXPECT_EQ(tasks->first_child->name, "");
  EXPECT_EQ(tasks->first_child->is_group, 1);
  EXPECT_EQ(object_current_path(tree_tasks), "");

  EXPECT_EQ(object_trees[tree_sounds].root->first_child->name, "S0");
  EXPECT_EQ(object_current_path(tree_sounds), "S0");
  object_node* m0 = object_trees[tree_menus].root->first_child;
  EXPECT_EQ(m0->name, "M0");
  EXPECT_EQ(m0->key2, 0);
  EXPECT_EQ(object_current_path(tree_menus), "M0");
  EXPECT_EQ(create_tree_roots(), 0);  // a second call changes nothing
  EXPECT_EQ(object_trees[tree_sounds].root->child_count, 1);

  object_tree_hooks[tree_sounds].first_node = [](object_node*) { return 1; };
  object_node* old_sounds = object_trees[tree_sounds].root;
  object_trees[tree_sounds].root = nullptr;
  EXPECT_EQ(create_tree_roots(), -1);
  object_node* s0 = old_sounds->first_child;
  detach_node(s0);
  free_object_node(s0);
  free_object_node(old_sounds);
}

TEST(ObjectTrees, CurrentPathIsBounded) {
  std::string p = std::string(254, 'a') + "\x95\x5C" + "tail";  // the character straddles byte 255
  set_object_current_path(tree_layers, p);
  EXPECT_EQ(object_current_path(tree_layers), std::string(254, 'a'));
  set_object_current_path(tree_layers, std::string(300, 'b'));
  EXPECT_EQ(object_current_path(tree_layers).size(), object_current_path_max);
  set_object_current_path(99, "x");  // no such tree
  EXPECT_EQ(object_current_path(99), "");
}
