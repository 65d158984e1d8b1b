// Game windows and input on the headless platform: the window procedure's
// close modes, system commands, dropped files and layer drags; key, mouse,
// wheel and joystick sampling; the outside rules; the frame hand-over of
// frame-thread mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/engine_state.h"
#include "app/frame_loop.h"
#include "app/game_window.h"
#include "app/input.h"
#include "graphics/layer_changes.h"
#include "core/object_tree.h"
#include "core/sjis.h"
#include "app/startup.h"
#include "graphics/blend_modes.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "graphics/pixel_kernels.h"
#include "graphics/presentation.h"
#include "platform/headless/headless_platform.h"
#include "script/system_values.h"
#include "support/object_tree_reset.h"
#include "support/temp_folder.h"
#include "system/file_list.h"

namespace {

struct window_input : ::testing::Test {
  temp_folder folder;
  HeadlessPlatform host{folder.path()};
  HeadlessUi& ui = host.ui;
  object_node* w0 = nullptr;

  void SetUp() override {
    quit_flag = 0;
    tick_suspended = 0;
    for (key_state& k : key_states) k = key_state{};
    input_state.current = input_snapshot{};
    input_state.joystick_count = 0;
    input_state.joystick_enabled = 0;
    input_exchange.published = input_snapshot{};
    input_exchange.mouse_moved = 0;
    input_exchange.wheel = 0;
    clear_file_list();
    window_drag.layer = nullptr;
    window_drag.press_pending = 0;
    screen_state.maximised = 0;
    screen_state.fullscreen = 0;
    frame_thread.enabled = 0;
    init_pixel_kernels(true, true);
    init_blend_tables();
    init_blend_dispatch_tables();
    install_key_state_handlers();
    ASSERT_EQ(create_window_states(), 0);
    layer_tree_main_size = {64, 48};
    install_layer_tree_hooks();
    ASSERT_EQ(create_tree_roots(), 0);
    w0 = object_trees[tree_layers].root->first_child;
    cpu_frame_buffer = {};
    cpu_frame_buffer.output_width = 64;
    cpu_frame_buffer.output_height = 48;
    cpu_frame_buffer.frame_width = 64;
    cpu_frame_buffer.frame_height = 48;
    init_window_bitmap(0, "GAME");
    ASSERT_EQ(create_game_window(0, 64, 48, "GAME"), 1);
    set_window_kind(0, 1);
    activate(0, true);
  }
  void TearDown() override {
    // Every tree goes, so the next case (in this process or not) starts afresh.
    // Payloads included: the sound and menu hooks of an earlier game stay
    // installed and give those trees records too. Frees the windows' surfaces.
    free_engine_trees();
    for (int i = 0; i < game_window_count; ++i)
      if (window_state* w = window_states.windows[i]) w->paint_posted = 0;
    quit_flag = 0;
    tick_suspended = 0;
    frame_thread.enabled = 0;
  }

  void send(uint32_t message, int window = 0, uint64_t wparam = 0, int x = 0, int y = 0) {
    ui_event e;
    e.message = message;
    e.window = window;
    e.wparam = wparam;
    e.x = x;
    e.y = y;
    game_wnd_proc(e);
  }
  void activate(int window, bool on) { send(msg_activate, window, on ? 1 : 0); }
  // One pass of the main loop's input and the tick's sampling.
  void tick() {
    poll_input();
    sample_input_for_frame();
  }
  int64_t value(int code) const { return key_states[code].value; }
  // Dispatches what the Ui queued (paints, quits) through the procedure.
  std::vector<ui_event> pump() {
    std::vector<ui_event> seen;
    ui_event e;
    while (ui.poll_event(e)) {
      seen.push_back(e);
      if (e.message != msg_quit) game_wnd_proc(e);
    }
    return seen;
  }
  bool called(const std::string& call) const {
    auto calls = ui.calls();
    return std::find(calls.begin(), calls.end(), call) != calls.end();
  }
  object_node* add_layer(const std::string& name, int w, int h, int64_t x, int64_t y, uint32_t colour) {
    object_node* node = create_object_by_path(object_trees[tree_layers].root, "W0/" + name, 0, 1, 0);
    EXPECT_NE(node, nullptr);
    cg_record* r = attach_new_cg_record(node);
    EXPECT_EQ(alloc_layer_picture(r, w, h), 0);
    r->x = x;
    r->y = y;
    for (int i = 0; i < w * h; ++i) std::memcpy(r->pixels + size_t(i) * 4, &colour, 4);
    mark_layer_dirty(node);
    return node;
  }
};

}  // namespace

// ---------------------------------------------------------------- keys

TEST_F(window_input, HeldKeyCountsUpAndReleasedKeyCountsDown) {
  ui.set_key('A', true);
  tick();
  EXPECT_EQ(value('A'), 1);
  EXPECT_EQ(value(0), 1);  // any key
  tick();
  tick();
  EXPECT_EQ(value('A'), 3);
  EXPECT_EQ(key_states[int{'A'}].phase, key_phase_down);
  ui.set_key('A', false);
  tick();
  EXPECT_EQ(value('A'), -1);
  EXPECT_EQ(value(0), -1);
  tick();
  EXPECT_EQ(value('A'), -2);
  EXPECT_EQ(key_states[int{'A'}].press_count, 1);
  // Codes outside the sampled table are never sampled.
  ui.set_key(42, true);
  tick();
  EXPECT_EQ(value(42), 0);
  EXPECT_EQ(value(0), -3);
}

TEST_F(window_input, WithNoActiveWindowEveryKeyReadsUp) {
  ui.set_key(0x20, true);
  tick();
  EXPECT_EQ(value(0x20), 1);
  activate(0, false);
  tick();
  EXPECT_EQ(value(0x20), -1);
  EXPECT_EQ(input_state.current.input_window, -1);
  // A minimised window stops being active at the next sample.
  activate(0, true);
  tick();
  EXPECT_EQ(value(0x20), 1);
  send(msg_size, 0, 1);  // SIZE_MINIMIZED
  tick();
  EXPECT_FALSE(window_states.windows[0]->active);
  tick();
  EXPECT_EQ(value(0x20), -1);
}

TEST_F(window_input, KeyDownAndButtonsAreKeptForScriptsByTheTick) {
  send(msg_key_down, 0, 'Q');
  send(msg_right_button_down, 0, 0, 3, 4);
  EXPECT_EQ(system_int_value(135, 0), 0);  // only the tick writes script values
  tick();
  EXPECT_EQ(system_int_value(135, 0), 'Q');
  EXPECT_EQ(system_int_value(136, 0), 2);
}

// ---------------------------------------------------------------- mouse

TEST_F(window_input, PressOutsideIsIgnoredAndAPressInsideStaysDownWhenDraggedOut) {
  ui.set_cursor(100, 100);  // outside the 64 x 48 client
  ui.set_key(1, true);
  tick();
  EXPECT_EQ(value(1), -1);
  tick();
  EXPECT_EQ(value(1), -2);
  EXPECT_TRUE(window_states.windows[0]->mouse_outside_client);

  ui.set_key(1, false);
  ui.set_cursor(10, 10);
  tick();
  ui.set_key(1, true);
  tick();
  EXPECT_EQ(value(1), 1);
  ui.set_cursor(200, -50);  // dragged out, still held
  tick();
  tick();
  EXPECT_EQ(value(1), 3);
  ui.set_key(1, false);
  tick();
  EXPECT_EQ(value(1), -1);
  EXPECT_EQ(key_states[1].press_count, 1);
}

TEST_F(window_input, WheelSignsAndMouseMovesReachTheirCodes) {
  ui.set_cursor(5, 5);
  send(msg_mouse_wheel, 0, uint64_t(uint16_t(int16_t(120))) << 16);
  tick();
  EXPECT_EQ(value(5), 1);
  EXPECT_LE(value(6), 0);
  tick();
  EXPECT_EQ(value(5), -1);  // one tick only
  send(msg_mouse_wheel, 0, uint64_t(uint16_t(int16_t(-240))) << 16);
  send(msg_mouse_move, 0);
  tick();
  EXPECT_EQ(value(6), 1);
  EXPECT_EQ(value(7), 1);
  EXPECT_EQ(value(5), -2);
  tick();
  EXPECT_EQ(value(6), -1);
  EXPECT_EQ(value(7), -1);
  // Outside the client the wheel is not seen.
  ui.set_cursor(-5, 5);
  send(msg_mouse_wheel, 0, uint64_t(uint16_t(int16_t(120))) << 16);
  tick();
  EXPECT_LT(value(5), 0);
}

TEST_F(window_input, MainWindowMouseFollowsScalingAndThePictureOffset) {
  cpu_frame_buffer.output_width = 128;
  cpu_frame_buffer.output_height = 96;
  ui.set_cursor(127, 95);
  tick();
  EXPECT_EQ(window_states.windows[0]->mouse_x, 63);
  EXPECT_EQ(window_states.windows[0]->mouse_y, 47);
  // A maximised main window centres the picture: (200 - 128) / 2 = 36 on x.
  window_states.windows[0]->picture_offset_x = 36;
  ui.set_cursor(36 + 64, 10);
  tick();
  EXPECT_EQ(window_states.windows[0]->mouse_x, 32);
  EXPECT_FALSE(window_states.windows[0]->mouse_outside_picture);
  ui.set_cursor(35, 10);  // one pixel left of the picture, inside the client
  tick();
  EXPECT_EQ(window_states.windows[0]->mouse_x, -1);
  EXPECT_TRUE(window_states.windows[0]->mouse_outside_picture);
  EXPECT_FALSE(window_states.windows[0]->mouse_outside_client);
  EXPECT_EQ(system_int_value(123, 0), -1);  // scripts read the same place
}

// ---------------------------------------------------------------- joysticks

TEST_F(window_input, JoystickCentreIsNoDirectionAndOneStepOffIs) {
  ui.set_joystick_count(2);
  ui.set_joystick(0, {32767, 32767, 0});
  ui.set_joystick(1, {32768, 32768, 0x80000001u});
  EXPECT_EQ(count_joysticks(), 1);
  tick();
  const int p0 = joystick_code_base, p1 = joystick_code_base + joystick_codes_each;
  for (int n = 0; n < 4; ++n) EXPECT_LE(value(p0 + n), 0) << n;
  EXPECT_LE(value(p1 + 0), 0);  // up
  EXPECT_EQ(value(p1 + 1), 1);  // down
  EXPECT_LE(value(p1 + 2), 0);  // left
  EXPECT_EQ(value(p1 + 3), 1);  // right
  EXPECT_EQ(value(p1 + 4), 1);  // button 1
  EXPECT_EQ(value(p1 + 35), 1); // button 32
  ui.set_joystick(0, {32766, 0, 0});
  tick();
  EXPECT_EQ(value(p0 + 0), 1);
  EXPECT_EQ(value(p0 + 2), 1);
  // A lost pad keeps its last values.
  ui.set_joystick(0, {32767, 32767, 0}, false);
  tick();
  EXPECT_EQ(value(p0 + 2), 2);
  EXPECT_EQ(input_state.joystick_lost[0], 1);
}

TEST_F(window_input, KeyStatesCoverTheLastJoystickCode) {
  ASSERT_EQ(key_state_code_count, 384 + 36 * 16);
  ui.set_joystick_count(16);
  ui.set_joystick(15, {32767, 32767, 0x80000000u});
  ASSERT_EQ(count_joysticks(), 1);
  tick();
  EXPECT_EQ(value(key_state_code_count - 1), 1);
  EXPECT_EQ(system_int_value(134, key_state_code_count - 1), 1);
  EXPECT_EQ(system_int_value(134, key_state_code_count), 0);  // past the table: nothing read
}

// ---------------------------------------------------------------- close modes

TEST_F(window_input, CloseConfirmationNoKeepsTheWindowYesQuits) {
  ui.queue_reply(id_no);
  send(msg_close, 0);
  ASSERT_EQ(ui.boxes().size(), 1u);
  EXPECT_EQ(ui.boxes()[0].text, utf8_to_sjis("終了します。よろしいですか？"));
  EXPECT_EQ(ui.boxes()[0].caption, "GAME");
  EXPECT_EQ(ui.boxes()[0].flags, mb_icon_information | mb_yes_no);
  EXPECT_TRUE(ui.window_exists(0));
  EXPECT_EQ(quit_flag, 0);
  EXPECT_EQ(tick_suspended, 0);  // the ticks go on

  ui.queue_reply(id_yes);
  send(msg_sys_command, 0, sc_close);
  EXPECT_EQ(quit_flag, 1);
  EXPECT_FALSE(ui.window_exists(0));
  auto seen = pump();
  EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const ui_event& e) { return e.message == msg_quit; }));
}

TEST_F(window_input, CloseModeZeroOnlyRecordsAndModeThreeClosesTheSubWindowAlone) {
  set_main_window_close_mode(close_recorded);
  send(msg_close, 0);
  EXPECT_TRUE(ui.boxes().empty());
  EXPECT_TRUE(ui.window_exists(0));
  tick();
  EXPECT_EQ(system_int_value(107, 0), 1);

  init_window_bitmap(2, "SUB");
  ASSERT_EQ(create_game_window(2, 32, 32, "SUB"), 1);
  EXPECT_TRUE(ui.window_visible(2));
  window_states.windows[2]->close_mode = close_window_only;
  send(msg_close, 2);
  ui.queue_reply(id_yes);
  EXPECT_FALSE(ui.window_exists(2));
  EXPECT_EQ(quit_flag, 0);
  EXPECT_EQ(window_states.created[2], -1);
  auto seen = pump();
  EXPECT_FALSE(std::any_of(seen.begin(), seen.end(), [](const ui_event& e) { return e.message == msg_quit; }));
}

TEST_F(window_input, RefusedMinimiseAndMaximiseAreUndoneAndRecorded) {
  send(msg_sys_command, 0, sc_maximize);
  EXPECT_FALSE(called("restore_window 0"));  // window 0 may maximise
  window_states.windows[0]->minimise_allowed = 0;
  send(msg_sys_command, 0, sc_minimize);
  EXPECT_TRUE(called("restore_window 0"));
  init_window_bitmap(1, "SUB");
  ASSERT_EQ(create_game_window(1, 16, 16, "SUB"), 1);
  send(msg_sys_command, 1, sc_maximize | 2);  // low bits ignored
  EXPECT_TRUE(called("restore_window 1"));
  tick();
  EXPECT_EQ(system_int_value(108, 0), 1);
  EXPECT_EQ(system_int_value(109, 0), 2);
}

// ---------------------------------------------------------------- dropped files

TEST_F(window_input, DroppedFilesShareTheFileListAndItsLimits) {
  ui_event e;
  e.message = msg_drop_files;
  e.files = {"/games/a.png", "/games/folder/", std::string(300, 'x')};
  game_wnd_proc(e);
  ASSERT_EQ(file_list.names.size(), 2u);  // the over-long name is not cut, it is left out
  EXPECT_EQ(file_list.names[1], "/games/folder\\");
  std::string entry;
  EXPECT_EQ(system_string_variable(14, 1, entry), 0);
  EXPECT_EQ(entry, "/games/folder\\");

  e.files.clear();
  for (int i = 0; i < 9000; ++i) e.files.push_back("/f" + std::to_string(i));
  game_wnd_proc(e);
  EXPECT_EQ(file_list.names.size(), file_list_max);
  EXPECT_EQ(file_list.names.back(), "/f8191");
  EXPECT_EQ(system_int_value(15, 0), 8192);
  std::string name(file_list_entry_size - 1, 'y');
  clear_file_list();
  EXPECT_EQ(add_file_list_entry(name), 0);
  EXPECT_EQ(add_file_list_entry(name + "y"), -1);
}

// ---------------------------------------------------------------- dragging by layer

TEST_F(window_input, LayerDragReadsOnlyInsideAndNeverAFreedLayer) {
  object_node* group = create_object_by_path(object_trees[tree_layers].root, "W0/g", 1, 1, 0);
  ASSERT_NE(group, nullptr);
  cg_record* gr = attach_new_cg_record(group);
  ASSERT_EQ(alloc_layer_picture(gr, 64, 48), 0);
  gr->x = 4;
  object_node* handle = create_object_by_path(object_trees[tree_layers].root, "W0/g/handle", 0, 1, 0);
  cg_record* r = attach_new_cg_record(handle);
  ASSERT_EQ(alloc_layer_picture(r, 8, 8), 0);
  r->x = 6;
  r->y = 2;
  // Black everywhere except one grey pixel at (3, 3) of the handle.
  std::memset(r->pixels, 0, 8 * 8 * 4);
  r->pixels[(3 * 8 + 3) * 4 + 1] = 0x40;
  set_window_drag_layer(handle, 0);

  send(msg_left_button_down, 0, 0, 4 + 6 + 2, 2 + 2);  // a black pixel
  tick();
  EXPECT_FALSE(called("begin_window_drag 0 12 4"));
  send(msg_left_button_down, 0, 0, 4 + 6 + 3, 2 + 3);  // the grey one: parents' positions count
  tick();
  EXPECT_TRUE(called("begin_window_drag 0 13 5"));
  send(msg_left_button_down, 0, 0, 60, 40);  // inside the window, outside the picture
  tick();
  send(msg_left_button_down, 0, 0, 3, 1);  // left of and above the picture
  tick();

  free_layer_node(group);  // the handle goes with its group
  send(msg_left_button_down, 0, 0, 13, 5);
  tick();
  EXPECT_EQ(window_drag.layer, nullptr);
  auto calls = ui.calls();
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                          [](const std::string& c) { return c.rfind("begin_window_drag", 0) == 0; }),
            1);
}

// ---------------------------------------------------------------- repaint

TEST_F(window_input, ChangedLayersArePresentedThroughOnePaint) {
  add_layer("red", 10, 6, 20, 30, 0xFFFF0000u);
  propagate_layer_changes();
  ASSERT_EQ(render_window(0), 0);
  EXPECT_EQ(repaint_window_without_device(0), 0);
  EXPECT_EQ(repaint_window_without_device(0), 0);  // still one paint pending
  reset_dirty_rects();
  auto seen = pump();
  EXPECT_EQ(std::count_if(seen.begin(), seen.end(), [](const ui_event& e) { return e.message == msg_paint; }), 1);
  headless_frame f = ui.frame(0);
  ASSERT_EQ(f.width, 64);
  auto at = [&](int x, int y) {
    uint32_t v;
    std::memcpy(&v, f.bgra.data() + (size_t(y) * 64 + x) * 4, 4);
    return v & 0xFFFFFFu;
  };
  EXPECT_EQ(at(20, 30), 0xFF0000u);
  EXPECT_EQ(at(29, 35), 0xFF0000u);
  EXPECT_EQ(at(30, 35), 0u);
  // Nothing changed: no paint, no blit.
  uint64_t blits = presentation_stats.blits;
  propagate_layer_changes();
  render_window(0);
  repaint_window_without_device(0);
  pump();
  EXPECT_EQ(presentation_stats.blits, blits);
}

TEST_F(window_input, HiddenWindowIsPaintedBlackOnce) {
  add_layer("blue", 64, 48, 0, 0, 0xFF0000FFu);
  propagate_layer_changes();
  render_window(0);
  repaint_window_without_device(0);
  reset_dirty_rects();
  pump();
  EXPECT_EQ(ui.frame(0).bgra[0], 0xFF);
  set_window_kind(0, 0);
  repaint_window_without_device(0);
  EXPECT_EQ(ui.frame(0).bgra[0], 0);
  EXPECT_EQ(window_states.windows[0]->repaint_flag, 0);
}

TEST_F(window_input, FrameThreadPaintShowsTheHandedOverFrameNotOneBeingDrawn) {
  frame_thread.enabled = 1;
  object_node* red = add_layer("red", 64, 48, 0, 0, 0xFFFF0000u);
  propagate_layer_changes();
  render_window(0);
  repaint_window_without_device(0);  // hands the frame over
  reset_dirty_rects();
  // The frame thread goes on drawing (and even frees the layer) before the
  // main thread's paint comes.
  cg_record* root = layer_record(w0);
  std::memset(root->pixels, 0x11, size_t(root->width) * root->height * 4);
  free_layer_node(red);
  pump();
  headless_frame f = ui.frame(0);
  ASSERT_EQ(f.width, 64);
  EXPECT_EQ(f.bgra[2], 0xFF);  // red, as handed over
  EXPECT_EQ(f.bgra[0], 0x00);
  EXPECT_EQ(f.bgra[(47 * 64 + 63) * 4 + 2], 0xFF);
}
