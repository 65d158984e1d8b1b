#include "system/menus.h"

#include <new>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/object_tree.h"
#include "resources/command_table.h"
#include "script/argument_binding.h"
#include "system/command_output.h"

menu_set_model menu_sets[menu_set_count];
std::mutex menu_sets_lock;
menu_link_table menu_links;

namespace {

bool sjis_lead(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

int menu_payload(object_node* node) {
  menu_record* r = alloc_menu_record(node->name);
  if (!r) return -1;
  node->kind_record = r;
  return 0;
}

void free_menu_node(object_node* node) {
  delete menu_node_record(node);
  node->kind_record = nullptr;
  free_object_node(node);
}

// Every descendant, deepest first; the node itself stays.
void delete_menu_children(object_node* node) {
  while (object_node* c = node->first_child) {
    delete_menu_children(c);
    detach_node(c);
    free_menu_node(c);
  }
}

struct resolved_menu {
  std::string path;
  bool group = false;
  object_node* node = nullptr;
};

int resolve_menu(const char* name, resolved_menu& out, int mode_for_group) {
  const int kind = resolve_object_path(out.path, name, object_current_path(tree_menus), 0);
  if (kind < 0) return -1;
  out.group = kind == 1;
  object_node* root = object_trees[tree_menus].root;
  if (!root) return 0;
  if (out.path.empty()) {  // the tree's root: a group
    out.group = true;
    out.node = root;
  } else {
    out.node = find_object_by_path(root, out.path, out.group ? mode_for_group : find_leaf);
  }
  return 0;
}

uint32_t assignment_of(uint32_t parameter_id) {
  const uint32_t pos = argument_position(parameter_id);
  return pos ? argument_slots.assignment_operator[pos] : 0;
}

// The position operators of command 52: subtracting never goes below 1 and
// dividing by 0 keeps the position.
int64_t combine_position(uint32_t op, int64_t old, int64_t value) {
  switch (op) {
    case 0: return value;
    case 1: return old + value;
    case 2: return old - value <= 0 ? 1 : old - value;
    case 3: return old * value;
    case 4: return value != 0 ? old / value : old;
    default: return value;
  }
}

int32_t clamp_position(int64_t p) {
  if (p > INT32_MAX) return INT32_MAX;
  if (p < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(p);
}

}  // namespace

menu_record* menu_node_record(const object_node* node) {
  return node ? static_cast<menu_record*>(node->kind_record) : nullptr;
}

std::string cut_sjis_text(std::string_view text, size_t limit) {
  if (text.size() <= limit) return std::string(text);
  size_t i = 0;
  while (i < limit) {
    const size_t step = sjis_lead(static_cast<uint8_t>(text[i])) ? 2 : 1;
    if (i + step > limit) break;
    i += step;
  }
  return std::string(text.substr(0, i));
}

menu_record* alloc_menu_record(std::string_view caption) {
  menu_record* r = new (std::nothrow) menu_record();
  if (!r) {
    report_error(100010, 1);
    return nullptr;
  }
  r->caption = cut_sjis_text(caption, menu_caption_max);
  return r;
}

void install_menu_tree_hooks() {
  object_tree_hooks[tree_menus].root = menu_payload;
  object_tree_hooks[tree_menus].first_node = menu_payload;
}

int build_menu_from_node(menu_set_model& set, const object_node* node, std::vector<menu_item_model>& items) {
  for (const object_node* c = node->first_child; c; c = c->next_sibling) {
    const menu_record* r = menu_node_record(c);
    if (!r || r->visible == 0) continue;
    menu_item_model item;
    item.id = static_cast<uint32_t>(r->command_id);
    item.caption = r->caption;
    item.greyed = r->enabled == 0;
    item.checked = r->checked == 1;
    if (r->caption.empty()) {
      item.separator = 1;
      item.greyed = 1;
    } else if (c->is_group && c->first_child) {
      if (set.menu_count >= menu_set_capacity) return -1;
      ++set.menu_count;
      item.has_submenu = 1;
      if (build_menu_from_node(set, c, item.submenu) != 0) return -1;
    }
    items.push_back(std::move(item));
  }
  return 0;
}

int rebuild_menu_set(int set, const object_node* node) {
  if (set < 0 || set >= menu_set_count || !node) return -1;
  menu_set_model fresh;
  fresh.menu_count = 1;  // the top menu
  int result = 0;
  if (set == menu_set_bar) {
    result = build_menu_from_node(fresh, node, fresh.items);
  } else {
    menu_item_model top;
    top.id = 1;
    top.caption = "MENUSET";
    top.has_submenu = 1;
    ++fresh.menu_count;
    result = build_menu_from_node(fresh, node, top.submenu);
    fresh.items.push_back(std::move(top));
  }
  std::lock_guard<std::mutex> g(menu_sets_lock);
  menu_sets[set] = result == 0 ? std::move(fresh) : menu_set_model{};
  return result;
}

void clear_menu_sets() {
  std::lock_guard<std::mutex> g(menu_sets_lock);
  for (menu_set_model& s : menu_sets) s = menu_set_model{};
}

// ---------------------------------------------------------------- command 52

int cmd_menu_item() {
  constexpr int number = 52;
  if (bind_command_arguments(number) != 0) return -1;
  std::lock_guard<engine_mutex> g(engine_lock);
  object_node* root = object_trees[tree_menus].root;
  if (!root) return -1;
  resolved_menu target;
  if (resolve_menu(parameter_text(0), target, find_group) != 0) return -1;
  object_node* node = target.node;

  int32_t position = node ? node->key2 : 1;
  if (parameter_given(2)) position = clamp_position(combine_position(assignment_of(2), position, parameter_int(2)));

  if (!node) {
    if (!parameter_given(1)) {
      report_error_at_line_fmt(100260, 1, command_name(number), target.path);
      return -1;
    }
    if (!parameter_given(2)) {
      report_error_at_line_fmt(100240, 1, command_name(number));
      return -1;
    }
    node = create_object_by_path(root, target.path, target.group ? 1 : 0, 0, position);
    if (!node) return -1;
    menu_record* r = alloc_menu_record(parameter_text(1));
    if (!r) {
      detach_node(node);
      free_object_node(node);
      return -1;
    }
    node->kind_record = r;
  } else {
    if (parameter_given(2) && node != root) reorder_node(node, 0, position);
    if (parameter_given(1)) {
      if (menu_record* r = menu_node_record(node)) r->caption = cut_sjis_text(parameter_text(1), menu_caption_max);
    }
  }
  menu_record* r = menu_node_record(node);
  if (!r) return 0;
  if (parameter_given(3)) r->visible = static_cast<int8_t>(parameter_int(3));
  if (parameter_given(4)) r->enabled = static_cast<int16_t>(parameter_int(4));
  if (parameter_given(5)) r->checked = static_cast<int8_t>(parameter_int(5));
  if (parameter_given(6)) r->command_id = parameter_int(6);
  return 0;
}

// ---------------------------------------------------------------- command 53

int cmd_popup_menu() {
  if (bind_command_arguments(53) != 0) return -1;
  if (parameter_int(1, 0) != 1) return 0;
  object_node* node = nullptr;
  {
    std::lock_guard<engine_mutex> g(engine_lock);
    resolved_menu target;
    if (resolve_menu(parameter_text(0), target, find_any) != 0) return -1;
    node = target.node;
    if (!node) return 0;
    if (rebuild_menu_set(menu_set_popup, node) != 0) return -1;
  }
  // Shown where the cursor is when the tick ends.
  if (menu_links.request_popup) menu_links.request_popup(menu_set_popup);
  return 0;
}

// ---------------------------------------------------------------- command 54

int cmd_delete_menu_item() {
  if (bind_command_arguments(54) != 0) return -1;
  std::lock_guard<engine_mutex> g(engine_lock);
  resolved_menu target;
  if (resolve_menu(parameter_text(0), target, find_group) != 0) return -1;
  object_node* node = target.node;
  if (!node) return 0;
  if (target.group) delete_menu_children(node);
  // The tree's root is never deleted: a path naming it only empties it.
  if (node == object_trees[tree_menus].root) return 0;
  detach_node(node);
  free_menu_node(node);
  return 0;
}

// ---------------------------------------------------------------- command 55

int cmd_get_menu_item() {
  if (bind_command_arguments(55) != 0) return -1;
  const command_output out = command_output_of(0);
  if (!out.variable) return 0;
  std::lock_guard<engine_mutex> g(engine_lock);
  resolved_menu target;
  if (resolve_menu(parameter_text(1), target, find_group) != 0) return -1;
  const menu_record* r = menu_node_record(target.node);
  if (!r) {
    clear_output(out);
    return 0;
  }
  if (parameter_given(3))
    store_output_number(out, 1);
  else if (parameter_given(5))
    store_output_number(out, r->visible);
  else if (parameter_given(6))
    store_output_number(out, r->enabled);
  else if (parameter_given(4))
    store_output_number(out, target.node->key2);
  else if (parameter_given(7))
    store_output_number(out, r->checked);
  else if (parameter_given(8))
    store_output_number(out, r->command_id);
  else if (parameter_given(2))
    store_output_text(out, r->caption);
  return 0;
}
