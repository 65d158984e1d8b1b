// Path lookup in a tree of 10,000 siblings: the hashed child index (leaf
// lookup), beside a std::unordered_map of the same names and the child-list
// walk that group lookups use.
#include <benchmark/benchmark.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "core/object_tree.h"

namespace {

constexpr int siblings = 10000;

struct sibling_tree {
  object_node root;
  std::vector<std::string> names;      // leaf names
  std::vector<std::string> paths;      // "W0/<name>"
  std::unordered_map<std::string, object_node*> map;

  sibling_tree() {
    create_object_by_path(&root, "W0", 1, 0, 1);
    for (int i = 0; i < siblings; ++i) {
      names.push_back("layer" + std::to_string(i * 7919 % 100003));
      paths.push_back("W0/" + names.back());
      object_node* n = create_object_by_path(&root, paths.back(), 0, 0, i % 16);
      map.emplace(paths.back(), n);
    }
  }
};

sibling_tree& tree() {
  static sibling_tree t;
  return t;
}

// Resolve a relative name against the current path, then find the leaf.
void BM_ResolveAndFindLeaf(benchmark::State& state) {
  sibling_tree& t = tree();
  std::string out;
  size_t i = 0;
  for (auto _ : state) {
    resolve_object_path(out, t.names[i], "W0", 0);
    benchmark::DoNotOptimize(find_object_by_path(&t.root, out, find_leaf));
    i = (i + 4099) % siblings;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ResolveAndFindLeaf);

void BM_FindLeafByPath(benchmark::State& state) {
  sibling_tree& t = tree();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(find_object_by_path(&t.root, t.paths[i], find_leaf));
    i = (i + 4099) % siblings;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindLeafByPath);

// Peer: a hash map keyed by the whole path.
void BM_Baseline_UnorderedMap(benchmark::State& state) {
  sibling_tree& t = tree();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(t.map.find(t.paths[i]));
    i = (i + 4099) % siblings;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline_UnorderedMap);

// Peer: walking the child list, as mode 2 (any node) does.
void BM_Baseline_ChildListWalk(benchmark::State& state) {
  sibling_tree& t = tree();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(find_object_by_path(&t.root, t.paths[i], find_any));
    i = (i + 4099) % siblings;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline_ChildListWalk);

}  // namespace

BENCHMARK_MAIN();
