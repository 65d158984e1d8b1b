#include "core/object_tree.h"

#include <algorithm>
#include <new>

#include "core/error_report.h"
#include "core/sjis.h"
#include "format/hashes.h"

object_tree_record object_trees[object_tree_count];
object_tree_payload_hooks object_tree_hooks[object_tree_count];

namespace {

constexpr uint32_t group_bit = 0x80000000u;
constexpr size_t npos = std::string_view::npos;

// Position of the next separator at or after pos; a '/' that is the second
// byte of a double-byte character does not count.
size_t find_separator(std::string_view s, size_t pos) {
  while (pos < s.size()) {
    if (s[pos] == '/') return pos;
    pos = sjis_next(s, pos);
  }
  return npos;
}

bool has_path_special(std::string_view s) {
  for (size_t i = 0; i < s.size(); i = sjis_next(s, i)) {
    char c = s[i];
    if (c == '.' || c == ':' || c == '/') return true;
  }
  return false;
}

bool has_space(std::string_view s) {
  for (size_t i = 0; i < s.size(); i = sjis_next(s, i))
    if (s[i] == ' ') return true;
  return false;
}

bool same_name(const object_node* n, std::string_view name) {
  return n->name.size() == name.size() && std::equal(name.begin(), name.end(), n->name.begin());
}

// Walks the components before the last one; each must be a child group. On a
// missing one reports 100230 naming it and returns null; `last` receives the
// final component.
object_node* walk_to_parent(object_node* root, std::string_view path, std::string_view& last) {
  object_node* parent = root;
  size_t pos = 0;
  for (;;) {
    size_t sep = find_separator(path, pos);
    if (sep == npos) break;
    std::string_view component = path.substr(pos, sep - pos);
    object_node* child = find_child_by_name(parent, component);
    if (!child) {
      report_error_at_line_fmt(100230, 1, component);
      return nullptr;
    }
    parent = child;
    pos = sep + 1;
  }
  last = path.substr(pos);
  return parent;
}

// Index range of the keys whose top byte is the key's.
void bucket_range(const object_child_index& ix, uint32_t key, size_t& lo, size_t& hi) {
  uint32_t b = key >> 24;
  lo = ix.bucket_start[b];
  hi = lo + ix.bucket_count[b];
}

void index_insert(object_child_index& ix, object_node* node) {
  uint32_t key = node->hash;
  size_t lo, hi;
  bucket_range(ix, key, lo, hi);
  // A new key goes before an equal one.
  size_t pos = static_cast<size_t>(std::lower_bound(ix.keys.begin() + lo, ix.keys.begin() + hi, key) - ix.keys.begin());
  uint32_t b = key >> 24;
  for (uint32_t j = b + 1; j <= 256; ++j) ix.bucket_start[j] += 1;
  ix.bucket_count[b] += 1;
  ix.keys.insert(ix.keys.begin() + pos, key);
  ix.nodes.insert(ix.nodes.begin() + pos, node);
}

void index_remove(object_child_index& ix, object_node* node) {
  size_t lo, hi;
  bucket_range(ix, node->hash, lo, hi);
  size_t pos = npos;
  for (size_t i = lo; i < hi; ++i) {
    if (ix.nodes[i] == node) {
      pos = i;
      break;
    }
  }
  if (pos == npos) {
    // The hash was changed behind the index's back: find the node anywhere.
    auto it = std::find(ix.nodes.begin(), ix.nodes.end(), node);
    if (it == ix.nodes.end()) return;
    pos = static_cast<size_t>(it - ix.nodes.begin());
  }
  uint32_t b = ix.keys[pos] >> 24;
  for (uint32_t j = b + 1; j <= 256; ++j) ix.bucket_start[j] -= 1;
  ix.bucket_count[b] -= 1;
  ix.keys.erase(ix.keys.begin() + pos);
  ix.nodes.erase(ix.nodes.begin() + pos);
}

}  // namespace

uint32_t object_name_key(std::string_view name, bool group) {
  return (group ? group_bit : 0u) | (name_hash(name) & 0x7FFFFFFFu);
}

// ---------------------------------------------------------------- paths

int resolve_object_path(std::string& out, std::string_view name, std::string_view current_path, int allow_spaces) {
  if (!has_path_special(name)) {
    std::string r;
    if (!current_path.empty()) {
      r.assign(current_path);
      r += '/';
    }
    r.append(name);
    out = std::move(r);
    return 0;
  }

  std::string work;
  if (!name.empty() && name[0] == ':') {
    work.assign(name.substr(name.size() > 1 && name[1] == '/' ? 2 : 1));
  } else {
    std::string_view rest = name;
    if (!rest.empty() && rest[0] == '/') rest.remove_prefix(1);
    if (!current_path.empty()) {
      work.assign(current_path);
      work += '/';
    }
    work.append(rest);
  }
  if (work.empty()) return 0;
  if (!allow_spaces && has_space(work)) {
    report_error_at_line_fmt(100242, 1, work);
    return -1;
  }

  std::string result;
  std::vector<size_t> starts;  // where each copied component begins in `result`
  bool ended_in_separator = false;
  size_t pos = 0;
  while (pos < work.size()) {
    size_t sep = find_separator(work, pos);
    std::string_view component = std::string_view(work).substr(pos, sep == npos ? npos : sep - pos);
    if (sep == npos) {
      result.append(component);
      ended_in_separator = false;
      break;
    }
    if (component == ".") {
      // dropped
    } else if (component == "..") {
      if (!starts.empty()) {
        result.resize(starts.back());
        starts.pop_back();
      }
    } else {
      starts.push_back(result.size());
      result.append(component);
      result += '/';
    }
    ended_in_separator = true;
    pos = sep + 1;
  }
  if (ended_in_separator && !result.empty()) {
    result.pop_back();
    out = std::move(result);
    return 1;
  }
  out = std::move(result);
  return 0;
}

object_node* find_child_by_name(object_node* parent, const char* name, size_t length) {
  if (!parent) return nullptr;
  std::string_view n(name ? name : "", name ? length : 0);
  uint32_t key = object_name_key(n, true);
  for (object_node* c = parent->first_child; c; c = c->next_sibling)
    if (c->hash == key && same_name(c, n)) return c;
  return nullptr;
}

object_node* find_object_by_path(object_node* root, std::string_view path, int mode) {
  if (!root) return nullptr;
  std::string_view last;
  object_node* parent = walk_to_parent(root, path, last);
  if (!parent) return nullptr;
  uint32_t h = name_hash(last) & 0x7FFFFFFFu;
  if (mode == find_leaf) {
    if (!parent->index) return nullptr;
    const object_child_index& ix = *parent->index;
    size_t lo, hi;
    bucket_range(ix, h, lo, hi);
    auto it = std::lower_bound(ix.keys.begin() + lo, ix.keys.begin() + hi, h);
    for (size_t i = static_cast<size_t>(it - ix.keys.begin()); i < hi && ix.keys[i] == h; ++i)
      if (same_name(ix.nodes[i], last)) return ix.nodes[i];
    return nullptr;
  }
  if (mode == find_group) {
    for (object_node* c = parent->first_child; c; c = c->next_sibling)
      if (c->hash == (h | group_bit) && same_name(c, last)) return c;
    return nullptr;
  }
  if (mode == find_any) {
    for (object_node* c = parent->first_child; c; c = c->next_sibling)
      if ((c->hash & 0x7FFFFFFFu) == h && same_name(c, last)) return c;
  }
  return nullptr;
}

// ---------------------------------------------------------------- creation and detaching

object_node* create_object_by_path(object_node* root, const char* path, int group, uint32_t secondary_key,
                                   int32_t primary_key) {
  if (!path) {
    report_error(900020, 1);
    return nullptr;
  }
  return create_object_by_path(root, std::string_view(path), group, secondary_key, primary_key);
}

object_node* create_object_by_path(object_node* root, std::string_view path, int group, uint32_t secondary_key,
                                   int32_t primary_key) {
  if (!root || (path.data() == nullptr && path.empty())) {
    report_error(900020, 1);
    return nullptr;
  }
  std::string_view last;
  object_node* parent = walk_to_parent(root, path, last);
  if (!parent) return nullptr;

  std::unique_ptr<object_node> node;
  try {
    node = std::make_unique<object_node>();
    node->name.assign(last);
    node->name_length = static_cast<int32_t>(last.size());
    node->is_group = group ? 1 : 0;
    node->hash = object_name_key(last, group != 0);
    if (!parent->index) parent->index = std::make_unique<object_child_index>();
    // Reserve first so that the insertion below cannot fail half-way.
    object_child_index& ix = *parent->index;
    if (ix.keys.size() == ix.keys.capacity()) ix.keys.reserve(std::max<size_t>(16, ix.keys.size() * 2));
    if (ix.nodes.size() == ix.nodes.capacity()) ix.nodes.reserve(std::max<size_t>(16, ix.nodes.size() * 2));
  } catch (const std::bad_alloc&) {
    report_error(100010, 1);
    return nullptr;
  }
  object_node* n = node.release();
  index_insert(*parent->index, n);
  insert_node_sorted(parent, n, secondary_key, primary_key);
  return n;
}

object_node* detach_node(object_node* node) {
  if (!node || !node->parent) return nullptr;
  object_node* parent = node->parent;
  if (parent->index) index_remove(*parent->index, node);
  unlink_node(parent, node);
  node->parent = nullptr;
  return parent;
}

int rename_object_node(object_node* node, std::string_view name) {
  if (!node) return -1;
  try {
    std::string copy(name);
    object_node* parent = node->parent;
    if (parent && parent->index) index_remove(*parent->index, node);
    node->name = std::move(copy);
    node->name_length = static_cast<int32_t>(node->name.size());
    node->hash = object_name_key(node->name, node->is_group != 0);
    // Removing one entry left room for it again, so this cannot allocate.
    if (parent && parent->index) index_insert(*parent->index, node);
  } catch (const std::bad_alloc&) {
    report_error(100010, 1);
    return -1;
  }
  return 0;
}

void release_object_node_storage(object_node* node) {
  if (!node) return;
  std::string().swap(node->name);
  node->name_length = 0;
  node->index.reset();
}

void free_object_node(object_node* node) { delete node; }

// ---------------------------------------------------------------- ordered child list

void insert_node_sorted(object_node* parent, object_node* node, uint32_t key1, int32_t key2) {
  if (!parent || !node) return;
  node->parent = parent;
  object_node* k = parent->first_child;
  while (k && !(k->key2 > key2 || (k->key2 == key2 && k->key1 > key1))) k = k->next_sibling;
  if (k) {
    node->next_sibling = k;
    node->prev_sibling = k->prev_sibling;
    if (k->prev_sibling)
      k->prev_sibling->next_sibling = node;
    else
      parent->first_child = node;
    k->prev_sibling = node;
  } else {
    node->next_sibling = nullptr;
    node->prev_sibling = parent->last_child;
    if (parent->last_child)
      parent->last_child->next_sibling = node;
    else
      parent->first_child = node;
    parent->last_child = node;
  }
  node->key1 = key1;
  node->key2 = key2;
  parent->child_count += 1;
}

void unlink_node(object_node* parent, object_node* node) {
  if (!parent || !node) return;
  if (node->prev_sibling)
    node->prev_sibling->next_sibling = node->next_sibling;
  else if (parent->first_child == node)
    parent->first_child = node->next_sibling;
  if (node->next_sibling)
    node->next_sibling->prev_sibling = node->prev_sibling;
  else if (parent->last_child == node)
    parent->last_child = node->prev_sibling;
  node->prev_sibling = nullptr;
  node->next_sibling = nullptr;
  if (parent->child_count > 0) parent->child_count -= 1;
}

int reorder_node(object_node* node, uint32_t key1, int32_t key2) {
  if (!node || !node->parent) return 0;
  object_node* parent = node->parent;
  unlink_node(parent, node);
  insert_node_sorted(parent, node, key1, key2);
  return 1;
}

object_node* nth_child(object_node* parent, int64_t n) {
  if (!parent) return nullptr;
  object_node* c = parent->first_child;
  for (int64_t i = 1; c && i < n; ++i) c = c->next_sibling;
  return c;
}

// ---------------------------------------------------------------- roots

void set_object_current_path(int tree, std::string_view path) {
  if (tree < 0 || tree >= object_tree_count) return;
  size_t end = 0;
  for (size_t i = 0; i < path.size();) {
    size_t next = sjis_next(path, i);
    if (next > object_current_path_max) break;
    end = next;
    i = next;
  }
  object_trees[tree].current_path.assign(path.substr(0, end));
}

const std::string& object_current_path(int tree) {
  static const std::string none;
  return tree >= 0 && tree < object_tree_count ? object_trees[tree].current_path : none;
}

namespace {
struct first_node_spec {
  const char* name;
  int group;
  int32_t primary_key;
};

object_node* make_first_node(int tree, const first_node_spec& s) {
  object_node* n = create_object_by_path(object_trees[tree].root, s.name, s.group, 0, s.primary_key);
  if (!n) return nullptr;
  if (object_tree_hooks[tree].first_node && object_tree_hooks[tree].first_node(n) != 0) return nullptr;
  return n;
}
}  // namespace

int create_tree_roots() {
  static const first_node_spec layers[] = {{"W0", 1, 1}};
  static const first_node_spec tasks[] = {{"", 1, 100}, {"SYSTEM", 0, 100}};
  static const first_node_spec sounds[] = {{"S0", 1, 1}};
  static const first_node_spec menus[] = {{"M0", 1, 0}};
  struct tree_spec {
    const first_node_spec* first;
    size_t count;
    const char* current_path;
  };
  static const tree_spec specs[object_tree_count] = {
      {layers, 1, "W0"}, {tasks, 2, ""}, {sounds, 1, "S0"}, {menus, 1, "M0"}};

  for (int t = 0; t < object_tree_count; ++t) {
    if (object_trees[t].root) continue;  // made already
    object_node* root = new (std::nothrow) object_node();
    if (!root) {
      report_error(100010, 1);
      return -1;
    }
    object_trees[t].root = root;
    if (object_tree_hooks[t].root && object_tree_hooks[t].root(root) != 0) return -1;
    for (size_t i = 0; i < specs[t].count; ++i)
      if (!make_first_node(t, specs[t].first[i])) return -1;
    set_object_current_path(t, specs[t].current_path);
  }
  return 0;
}
