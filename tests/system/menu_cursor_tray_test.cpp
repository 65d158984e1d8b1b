// Menus, the cursor and the tray icon through whole headless games: the
// scripts define items, open popups and the tray, and the user's choices
// arrive as the headless desktop's scripted menu input.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <string>

#include "app/game_window.h"
#include "app/menu_view.h"
#include "core/object_tree.h"
#include "platform/text_encoding.h"
#include "support/headless_game.h"
#include "support/solid_layer.h"
#include "system/cursor_tray.h"
#include "script/variable_store.h"
#include "system/menus.h"

namespace {

constexpr uint32_t vk_return = 0x0D, vk_escape = 0x1B, vk_right = 0x27, vk_down = 0x28;

ui_event key(uint32_t vk) {
  ui_event e;
  e.message = msg_key_down;
  e.wparam = vk;
  return e;
}

const char* const menu_listing = R"(
global int pos = -1
global int hidden = -1
global int missing = -1
global int enabled = -1
global string cap = "?"
global int ready = 0
*SYSTEM_START
menu_item path="m/", caption="Menu", position=1
menu_item path="m/open", caption="Open", position=2, id=101
menu_item path="m/save", caption="Save", position=3, id=102, enabled=0
menu_item path="m/sep", caption="", position=4
menu_item path="m/hidden", caption="Hidden", position=5, visible=0
menu_item path="m/sub/", caption="More", position=6
menu_item path="m/sub/a", caption="A", position=1, id=201, checked=1
menu_item path="m/save", position-=5
menu_get output=pos, path="m/save", position=1
menu_get output=enabled, path="m/save", enabled=1
menu_get output=hidden, path="m/hidden", visible=1
menu_get output=missing, path="m/nothing", exists=1
menu_get output=cap, path="m/sub/a", caption=1
ready = 1
*idle
wait 1
goto idle
*open
popup_menu path="m/", show=1
goto idle
)";

std::vector<std::string> captions(const std::vector<menu_item_model>& items) {
  std::vector<std::string> out;
  for (const menu_item_model& m : items) out.push_back(m.separator ? "-" : m.caption);
  return out;
}

TEST(Menus, ItemsBuildInPositionOrderWithTheirFlags) {
  headless_game g(menu_listing);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(3);
  ASSERT_EQ(g.int_value("ready"), 1);
  EXPECT_EQ(g.int_value("pos"), 1);  // 3 - 5 gives 1
  EXPECT_EQ(g.int_value("enabled"), 0);
  EXPECT_EQ(g.int_value("hidden"), 0);
  EXPECT_EQ(g.int_value("missing"), 0);
  EXPECT_EQ(g.text_value("cap"), "A");

  object_node* m = find_object_by_path(object_trees[tree_menus].root, "M0/m", find_group);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(rebuild_menu_set(menu_set_popup, m), 0);
  const menu_set_model& set = menu_sets[menu_set_popup];
  ASSERT_EQ(set.items.size(), 1u);
  EXPECT_EQ(set.items[0].caption, "MENUSET");
  EXPECT_EQ(set.items[0].id, 1u);
  const std::vector<menu_item_model>& items = set.items[0].submenu;
  EXPECT_EQ(captions(items), (std::vector<std::string>{"Save", "Open", "-", "More"}));
  EXPECT_TRUE(items[0].greyed);
  EXPECT_FALSE(items[1].greyed);
  EXPECT_TRUE(items[2].separator && items[2].greyed);
  ASSERT_TRUE(items[3].has_submenu);
  ASSERT_EQ(items[3].submenu.size(), 1u);
  EXPECT_TRUE(items[3].submenu[0].checked);
  EXPECT_EQ(items[3].submenu[0].id, 201u);
  EXPECT_EQ(set.menu_count, 3);  // the top menu, "MENUSET" and "More"
}

TEST(Menus, MissingCaptionOrPositionIsFatal) {
  struct row {
    const char* line;
    int code;
  } rows[] = {{"menu_item path=\"x\"", 100260}, {"menu_item path=\"y\", caption=\"Y\"", 100240}};
  for (const row& r : rows) {
    headless_game g(std::string("*SYSTEM_START\n") + r.line + "\n*idle\nwait 1\ngoto idle\n");
    ASSERT_EQ(g.start(), 0);
    g.run_ticks(3);
    EXPECT_EQ(g.error_codes(), (std::vector<int>{r.code})) << r.line;
  }
}

TEST(Menus, ASetHoldsAtMost128Menus) {
  headless_game g("*SYSTEM_START\n*idle\nwait 1\ngoto idle\n");
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(1);
  object_node* root = object_trees[tree_menus].root;
  object_node* top = create_object_by_path(root, "M0/deep", 1, 0, 1);
  top->kind_record = alloc_menu_record("deep");
  // 126 groups with one item each: with the top menu and "MENUSET", 128 menus.
  for (int i = 0; i < 127; ++i) {
    const std::string group = "M0/deep/g" + std::to_string(i);
    object_node* n = create_object_by_path(root, group, 1, 0, i + 1);
    n->kind_record = alloc_menu_record("G");
    object_node* leaf = create_object_by_path(root, group + "/x", 0, 0, 1);
    leaf->kind_record = alloc_menu_record("X");
    if (i == 125) {
      EXPECT_EQ(rebuild_menu_set(menu_set_popup, top), 0);
      EXPECT_EQ(menu_sets[menu_set_popup].menu_count, 128);
    }
  }
  EXPECT_EQ(rebuild_menu_set(menu_set_popup, top), -1);
  EXPECT_TRUE(menu_sets[menu_set_popup].items.empty());  // nothing half-built stays
}

TEST(Menus, DeletingAGroupTakesItsItemsAndTheRootOnlyEmpties) {
  headless_game g(R"(
global int gone = -1
*SYSTEM_START
menu_item path="del/", caption="Menu", position=1
menu_item path="del/open", caption="Open", position=1
menu_item path="del/sub/", caption="More", position=2
menu_item path="del/sub/a", caption="A", position=1
menu_item path="del/sub/b/", caption="B", position=2
menu_item path="del/sub/b/c", caption="C", position=1
menu_delete path="del/sub/"
menu_get output=gone, path="del/sub/", exists=1
menu_delete path="del/nothing"
wait 1
menu_delete path="../"
*idle
wait 1
goto idle
)");
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(1);
  object_node* root = object_trees[tree_menus].root;
  object_node* m = find_object_by_path(root, "M0/del", find_group);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->child_count, 1);  // "open" stays
  EXPECT_EQ(g.int_value("gone"), 0);
  g.run_ticks(3);
  ASSERT_EQ(object_trees[tree_menus].root, root);
  EXPECT_EQ(root->child_count, 0);  // "../" names the root: only its items go
  EXPECT_NE(menu_node_record(root), nullptr);
  EXPECT_TRUE(g.error_codes().empty());
  // The trees outlive a run in this process: give the next tests their "M0".
  object_node* m0 = create_object_by_path(root, "M0", 1, 0, 0);
  m0->kind_record = alloc_menu_record("M0");
}

// A popup opened by the script: the user moves down to "Open" and presses
// Enter; the choice reaches the window procedure as the last menu command.
TEST(Menus, PopupChoiceReachesTheScript) {
  headless_game g(menu_listing);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(3);
  object_node* m = find_object_by_path(object_trees[tree_menus].root, "M0/m", find_group);
  ASSERT_NE(m, nullptr);
  struct row {
    std::vector<uint32_t> keys;
    int64_t chosen;
  } rows[] = {
      {{vk_down, vk_return}, 101},                      // "Save" is greyed: Open first
      {{vk_down, vk_down, vk_right, vk_return}, 201},   // into the submenu
      {{vk_down, vk_escape}, 0},                        // closed without a choice
      {{vk_return}, 0},                                 // nothing under the cursor
  };
  for (const row& r : rows) {
    window_events.last_menu_command = -1;
    for (uint32_t k : r.keys) g.backend().ui.queue_menu_event(key(k));
    ASSERT_EQ(rebuild_menu_set(menu_set_popup, m), 0);
    menu_links.request_popup(menu_set_popup);
    g.run_ticks(2);
    EXPECT_EQ(window_events.last_menu_command.load(), r.chosen);
  }
}

TEST(Cursor, ModeOneHidesAfterTheDelayAndAMoveShowsIt) {
  headless_game g(R"(
*SYSTEM_START
cursor mode=1
*idle
wait 1
goto idle
)");
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(3);
  HeadlessUi& ui = g.backend().ui;
  EXPECT_TRUE(ui.cursor().visible);
  ui.set_cursor(100, 100);
  ui.set_key(0x41, true);
  g.run_ticks(1);
  ui.set_key(0x41, false);
  const uint32_t pressed = g.now_ms();
  while (g.now_ms() - pressed < 2400) g.run_ticks(1);
  EXPECT_TRUE(ui.cursor().visible) << "hidden before the 2500 ms delay";
  while (g.now_ms() - pressed < 2600) g.run_ticks(1);
  EXPECT_FALSE(ui.cursor().visible);
  ui_event move;
  move.message = msg_mouse_move;
  move.x = 120, move.y = 100;
  ui.post_event(move);
  g.run_ticks(2);
  EXPECT_TRUE(ui.cursor().visible);
}

TEST(Cursor, WarpShapeAndColourCursorFromALayer) {
  headless_game g(R"(
*SYSTEM_START
wait 2
cursor x=100, y=50, shape=3
cursor layer="cur", hot_x=40, hot_y=-3
cursor layer="huge"
*idle
wait 1
goto idle
)");
  ASSERT_EQ(g.start(), 0);
  make_solid_layer("W0/cur", 32, 32, 0, 0, 0xFF00FF00);
  make_solid_layer("W0/huge", 300, 10, 0, 0, 0xFF0000FF);
  g.run_ticks(6);
  HeadlessUi& ui = g.backend().ui;
  const std::vector<std::string> calls = ui.calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "warp_cursor 100 50"), calls.end());
  EXPECT_NE(std::find(calls.begin(), calls.end(), "system_cursor 3"), calls.end());
  const HeadlessUi::cursor_record c = ui.cursor();
  EXPECT_EQ(c.shape, -1);
  EXPECT_EQ(c.width, 32);
  EXPECT_EQ(c.hot_x, 31);  // moved inside the picture
  EXPECT_EQ(c.hot_y, 0);
  ASSERT_EQ(c.bgra.size(), 32u * 32 * 4);
  EXPECT_EQ(c.bgra[1], 0xFF);
  // The oversized picture is refused with its message; the last cursor stays.
  bool refused = false;
  for (const auto& b : ui.boxes()) refused |= sjis_to_utf8(b.text).find("CURSOR CreateDIBSection") != std::string::npos;
  EXPECT_TRUE(refused);
}

TEST(Tray, StatesTooltipIconAndMenu) {
  const std::string long_tip(200, 'T');
  headless_game g(R"(
global int ready = 0
*SYSTEM_START
menu_item path="t/", caption="Tray", position=1
menu_item path="t/quit", caption="Quit", position=1, id=77
wait 2
tray_menu show=1, tooltip=")" + long_tip + R"(", icon="ic", menu="t/"
ready = 1
*idle
wait 1
goto idle
*big
tray_menu show=1, icon="big"
goto idle
*off
tray_menu show=0
goto idle
)");
  ASSERT_EQ(g.start(), 0);
  make_solid_layer("W0/ic", 16, 16, 0, 0, 0xFF112233);
  g.run_ticks(5);
  HeadlessUi& ui = g.backend().ui;
  HeadlessUi::tray_record t = ui.tray();
  EXPECT_TRUE(t.shown);
  EXPECT_FALSE(t.docked);  // no system tray on this desktop
  EXPECT_EQ(t.icon.tooltip.size(), tray_tooltip_max);
  ASSERT_EQ(t.icon.bgra.size(), 16u * 16 * 4);
  EXPECT_EQ(t.icon.bgra[0], 0x33);
  bool logged = false;
  for (const std::string& l : g.log_lines()) logged |= l.find("No system tray") != std::string::npos;
  EXPECT_TRUE(logged);

  // A right click on the icon opens the tray menu; the user picks "Quit".
  ui.queue_menu_event(key(vk_down));
  ui.queue_menu_event(key(vk_return));
  ui_event click;
  click.message = msg_tray_icon;
  click.wparam = msg_right_button_up;
  ui.post_event(click);
  g.run_ticks(3);
  EXPECT_EQ(window_events.last_menu_command.load(), 77);
}

TEST(Tray, AWrongSizedLayerShowsTheMessageAndTheProgramIcon) {
  headless_game g(R"(
*SYSTEM_START
wait 2
tray_menu show=1, tooltip="x", icon="big"
wait 1
tray_menu show=0
*idle
wait 1
goto idle
)");
  ASSERT_EQ(g.start(), 0);
  make_solid_layer("W0/big", 32, 32, 0, 0, 0xFF112233);
  HeadlessUi& ui = g.backend().ui;
  ui.set_tray_manager(true);
  g.run_ticks(4);
  bool message = false;
  for (const auto& b : ui.boxes()) message |= sjis_to_utf8(b.text) == "ICON ERR.\r\nレイヤサイズが 16x16 ではありません。";
  EXPECT_TRUE(message);
  const std::vector<std::string> calls = ui.calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "show_tray_icon"), calls.end());
  g.run_ticks(2);
  EXPECT_FALSE(ui.tray().shown);  // removed by show=0
  EXPECT_NE(std::find(calls.begin(), calls.end(), "show_tray_icon"), calls.end());
}

TEST(Captions, CutOnACharacterBoundary) {
  // 259 single bytes then a double-byte character: the character does not fit.
  std::string text(259, 'a');
  text += "\x82\xa0";
  EXPECT_EQ(cut_sjis_text(text, menu_caption_max).size(), 259u);
  std::string even(258, 'a');
  even += "\x82\xa0";
  EXPECT_EQ(cut_sjis_text(even, menu_caption_max).size(), 260u);
  EXPECT_EQ(cut_sjis_text("short", 127), "short");
}

}  // namespace

namespace {

// Command 55 answers the first given of: exists, visible, enabled, position,
// checked, id, caption.
TEST(Menus, QueryAnswersTheFirstSwitchInItsOrder) {
  headless_game g(R"(
global int q[6] = -1
global string c = "?"
*SYSTEM_START
menu_item path="q/", caption="Q", position=1
menu_item path="q/i", caption="Item", position=4, visible=0, enabled=0, checked=1, id=9
menu_get output=q[0], path="q/i", id=1, caption=1, exists=1
menu_get output=q[1], path="q/i", id=1, position=1, visible=1
menu_get output=q[2], path="q/i", id=1, checked=1, position=1, enabled=1
menu_get output=q[3], path="q/i", id=1, checked=1, position=1
menu_get output=q[4], path="q/i", id=1, checked=1
menu_get output=q[5], path="q/i", id=1
menu_get output=c, path="q/i", caption=1
*idle
wait 1
goto idle
)");
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  const int64_t expected[6] = {1, 0, 0, 4, 1, 9};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(g.int_value("q", i), expected[i]) << i;
  EXPECT_EQ(g.text_value("c"), "Item");
  EXPECT_TRUE(g.error_codes().empty());
}

}  // namespace

namespace {

// In frame-thread mode the popup runs on the frame thread; the choice still
// reaches the window procedure on the main thread.
TEST(Menus, PopupOnTheFrameThread) {
  headless_game g(R"(
config frame_thread 1
global int go = 0
*SYSTEM_START
menu_item path="ft/", caption="F", position=1
menu_item path="ft/a", caption="A", position=1, id=11
menu_item path="ft/b", caption="B", position=2, id=12
*idle
wait 1
if go == 1
go = 2
popup_menu path="ft/", show=1
end
goto idle
)");
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(3);
  window_events.last_menu_command = -1;
  HeadlessUi& ui = g.backend().ui;
  ui.queue_menu_event(key(vk_down));
  ui.queue_menu_event(key(vk_down));
  ui.queue_menu_event(key(vk_return));
  set_numeric_element(g.variable_id("go"), 0, 1);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (window_events.last_menu_command.load() != 12 && std::chrono::steady_clock::now() < until) {
    g.run_ticks(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(window_events.last_menu_command.load(), 12);
  EXPECT_EQ(g.int_value("go"), 2);
}

}  // namespace

namespace {

// The bar's call points: the bar is drawn above the client, and a press on a
// top item opens its menu below it.
TEST(Menus, BarStripDrawsAndOpensItsMenus) {
  headless_game g(R"(
config window_kind 1
*SYSTEM_START
menu_item path="bar/", caption="Bar", position=1
menu_item path="bar/file/", caption="File", position=1
menu_item path="bar/file/new", caption="New", position=1, id=31
menu_item path="bar/file/quit", caption="Quit", position=2, id=32
menu_item path="bar/help", caption="Help", position=2, id=40
*idle
wait 1
goto idle
)");
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(3);
  EXPECT_FALSE(menu_bar_press(5, 5));  // no bar yet
  object_node* bar = find_object_by_path(object_trees[tree_menus].root, "M0/bar", find_group);
  ASSERT_NE(bar, nullptr);
  ASSERT_EQ(build_menu_bar(0, bar, false), 0);
  ASSERT_TRUE(draw_menu_bar());
  const headless_frame f = g.backend().ui.menu_bar(0);
  ASSERT_EQ(f.height, menu_bar_height);
  EXPECT_EQ(f.bgra[(2 * f.width + 2) * 4], 0xF0);  // the bar's face
  HeadlessUi& ui = g.backend().ui;
  window_events.last_menu_command = -1;
  ui.queue_menu_event(key(vk_down));
  ui.queue_menu_event(key(vk_down));
  ui.queue_menu_event(key(vk_return));
  EXPECT_TRUE(menu_bar_press(8, 10));  // "File"
  EXPECT_EQ(menu_view.y.load(), 0);    // just below the bar: the client's top row
  g.run_ticks(1);
  EXPECT_EQ(window_events.last_menu_command.load(), 32);
  EXPECT_FALSE(menu_bar_press(8, menu_bar_height));  // below the bar
  EXPECT_EQ(build_menu_bar(0, nullptr, false), 0);
  EXPECT_EQ(ui.menu_bar(0).height, 0);
}

}  // namespace
