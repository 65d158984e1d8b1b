// Menus scripts define as a tree of named items (the menu tree, current path
// "M0") and show as the main window's menu bar (set 0), a popup at the cursor
// (set 1, command 53) or the tray icon's menu (set 2, command 87). A set is
// built into a plain model (id, caption, flags, children) that the player
// draws itself.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct object_node;

constexpr size_t menu_caption_max = 260;  // bytes, without the terminator
constexpr int menu_set_count = 3;
constexpr int menu_set_capacity = 128;    // menus (the top menu and every submenu) per set
enum menu_set_index : int { menu_set_bar = 0, menu_set_popup = 1, menu_set_tray = 2 };

// The payload of a menu node.
struct menu_record {
  std::string caption;  // Shift-JIS, at most menu_caption_max bytes; empty = separator
  int8_t visible = 1;   // 0 leaves the item out of built menus
  int16_t enabled = 256;  // 0 greys the item and disables it
  int8_t checked = 0;     // 1 shows a check mark
  int64_t command_id = 0;  // the low 32 bits are the item's id
};

menu_record* menu_node_record(const object_node* node);

// A Shift-JIS text cut to at most `limit` bytes, never inside a double-byte
// character.
std::string cut_sjis_text(std::string_view text, size_t limit);

// A new record with the caption cut to menu_caption_max bytes; null after
// reporting 100010 (fatal).
menu_record* alloc_menu_record(std::string_view caption);
// Fills the menu tree's payload makers (the root and "M0").
void install_menu_tree_hooks();

struct menu_item_model {
  uint32_t id = 0;
  std::string caption;  // Shift-JIS
  uint8_t separator = 0;
  uint8_t greyed = 0;   // greyed and disabled
  uint8_t checked = 0;
  uint8_t has_submenu = 0;
  std::vector<menu_item_model> submenu;
};

struct menu_set_model {
  std::vector<menu_item_model> items;  // the top menu's items
  int menu_count = 0;                  // menus made for this set
};

// The three sets. Built on the script thread, read by the menu view: both
// under menu_sets_lock.
extern menu_set_model menu_sets[menu_set_count];
extern std::mutex menu_sets_lock;

// Appends the node's visible children to `items` in position order; a group
// child with children gets a submenu built the same way. Counts each new
// submenu in `set`; -1 when the set would hold more than menu_set_capacity
// menus.
int build_menu_from_node(menu_set_model& set, const object_node* node, std::vector<menu_item_model>& items);
// Rebuilds set 1 or 2 as a top menu holding one item "MENUSET" (id 1) whose
// submenu holds the node's items; set 0 as the top menu of the node's items.
// On failure the set is left empty: nothing half-built stays. 0 or -1.
int rebuild_menu_set(int set, const object_node* node);
void clear_menu_sets();

// Calls into the program (filled at start-up). Null: nothing.
struct menu_link_table {
  // The tick shows set `set` (1 or 2) at the cursor when it ends.
  void (*request_popup)(int set) = nullptr;
};
extern menu_link_table menu_links;

int cmd_menu_item();         // 52
int cmd_popup_menu();        // 53
int cmd_delete_menu_item();  // 54
int cmd_get_menu_item();     // 55
