// Every engine value a script reads, read from a listing in a game started
// the way the player starts, each checked against what the fake machine was
// told; and the writable values taking effect.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "app/input.h"
#include "core/object_tree.h"
#include "core/settings.h"
#include "core/sjis.h"
#include "core/system_info.h"
#include "app/game_window.h"
#include "app/startup.h"
#include "support/headless_game.h"

namespace {

std::vector<uint8_t> settings_file(std::initializer_list<std::pair<int, uint32_t>> slots) {
  std::vector<uint8_t> bytes(128, 0);
  for (auto [slot, value] : slots)
    for (int b = 0; b < 4; ++b) bytes[size_t(slot) * 4 + size_t(b)] = uint8_t(value >> (8 * b));
  return bytes;
}

// The entry of ids 137.. / 271.. / 405.. that stands for `code`.
int entry_of(int code) {
  for (int i = 0; i < mapped_input_code_count; ++i)
    if (mapped_input_codes[i] == code) return i;
  ADD_FAILURE() << "no entry for code " << code;
  return 0;
}

std::string id(int base, int entry) { return "@" + std::to_string(base + entry); }

}  // namespace

TEST(EngineValues, ScriptsReadWhatTheMachineAndStartUpReport) {
  const int a = entry_of(65), space = entry_of(32), button = entry_of(1);
  headless_game game(R"(
config window_kind 1
global int n[24]
global string t[16]
*SYSTEM_START
wait 4
n[0] = @2
n[1] = @3
n[2] = @5
n[3] = @6
n[4] = @7
n[5] = @9
n[6] = @13
n[7] = @102
n[8] = @103
n[9] = @104
n[10] = @105
n[11] = @106
n[12] = )" + id(137, a) + R"(
n[13] = )" + id(271, a) + R"(
n[14] = )" + id(405, a) + R"(
n[15] = )" + id(137, space) + R"(
n[16] = @269[0]
n[17] = @270[2]
n[18] = @533[1]
n[19] = @537[40]
n[20] = @269[1]
n[21] = )" + id(405, button) + R"(
n[22] = @1[1]
n[23] = @101
t[0] = @12[0]
t[1] = @12[1]
t[2] = @12[3]
t[3] = @12[4]
t[4] = @93
t[5] = @94
t[6] = @95
t[7] = @96
t[8] = @97
t[9] = @118
t[10] = @119
t[11] = @120
t[12] = @121
*idle
wait 1
goto idle
)");
  game.write_file("kxcfg.dat", settings_file({{0, 1}, {2, 1}, {3, 1}, {4, 4}, {8, 2}, {10, 1}}));
  game.write_file("kxsfs.dat", settings_file({{21, 2}}));
  game.prepare([](HeadlessPlatform& p) {
    p.ui.set_desktop_mode(2560, 1440, 24, 75);
    p.process.set_memory(uint64_t{16} << 30, uint64_t{4} << 30);
    p.process.set_arguments({"-a", "b", utf8_to_sjis("日本")});
    p.ui.set_key(65, true);
    p.ui.set_joystick_count(2);
    ui_joystick_state pad;
    pad.x = 65535;  // right
    pad.buttons = 1u << 2;
    p.ui.set_joystick(0, pad);
  });
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(8);
  ASSERT_TRUE(game.error_codes().empty()) << game.errors()[0].code << " " << game.errors()[0].text_utf8;

  struct expected_int {
    int slot;
    int64_t value;
  };
  const int64_t cores = system_info.core_count;
  ASSERT_GE(cores, 1);
  const expected_int ints[] = {
      {0, 255},                        // OS code: unlisted, accepted
      {1, cores},                      // processor cores
      {2, int64_t{16} << 30},          // total memory
      {3, 75},                         // memory in use, percent
      {4, int64_t{4} << 30},           // available memory
      {5, 0},                          // the game folder is writable
      {6, 3},                          // arguments given
      {7, 2},                          // save-folder mode from kxsfs.dat
      {8, 1},                          // kxcfg.dat slot 10
      {9, 24}, {10, 2560}, {11, 1440},  // the desktop
      {14, 65},                        // the code of the entry
      {18, 384 + 36 + 0},              // pad 1 up
      {19, 384 + 36 + 4 + 8},          // button 40: pad 1, button 9
      {21, 1},                         // the left button's code
  };
  for (const expected_int& e : ints) EXPECT_EQ(game.int_value("n", e.slot), e.value) << "n[" << e.slot << "]";
  // Held keys count frames down; the press counted once; space never pressed.
  EXPECT_GE(game.int_value("n", 12), 3);
  EXPECT_EQ(game.int_value("n", 13), 1);
  EXPECT_LE(game.int_value("n", 15), 0);
  EXPECT_GE(game.int_value("n", 16), 3);  // pad 0 right
  EXPECT_GE(game.int_value("n", 17), 3);  // button 2 of pad 0
  EXPECT_EQ(game.int_value("n", 20), game.int_value("n", 15));  // pad 1 right: up as long as space
  EXPECT_GT(game.int_value("n", 22), 0);
  EXPECT_EQ(game.int_value("n", 22), game.int_value("n", 23));

  const std::string folder = game.folder().path();
  const std::string texts[] = {
      utf8_to_sjis(folder + "zarvik"), "-a", utf8_to_sjis("日本"), "",
      utf8_to_sjis(folder), utf8_to_sjis(folder), save_settings.save_path,
      module_paths.app_data_folder, module_paths.documents_folder,
  };
  for (size_t i = 0; i < std::size(texts); ++i) EXPECT_EQ(game.text_value("t", int64_t(i)), texts[i]) << "t[" << i << "]";
  EXPECT_NE(save_settings.save_path.find("Quillmere_SaveData"), std::string::npos);
  EXPECT_EQ(save_settings.save_path.rfind(module_paths.user_documents_home, 0), 0u);
  // 118..121: the layer, sound, task and menu trees' current paths.
  const int trees[] = {tree_layers, tree_sounds, tree_tasks, tree_menus};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(game.text_value("t", 9 + i), object_current_path(trees[i])) << "@" << 118 + i;
}

TEST(EngineValues, WritableIdsTakeEffect) {
  const int a = entry_of(65), space = entry_of(32);
  headless_game game(R"(
config window_kind 1
global int n[12]
global string t[4]
*SYSTEM_START
wait 3
)" + id(137, space) + R"( = -7
)" + id(271, space) + R"( = 42
)" + id(137, a) + R"( = 9
@266[1] = -3
@404[33] = 5
@118 = "/W0/a/b"
@121 = "menu/x"
n[0] = )" + id(137, space) + R"(
n[1] = )" + id(271, space) + R"(
n[2] = )" + id(137, a) + R"(
n[3] = @266[1]
n[4] = @404[33]
n[5] = @15
@15 = 1
n[6] = @15
t[0] = @118
t[1] = @121
t[2] = @14[0]
*idle
wait 1
goto idle
)");
  game.prepare([](HeadlessPlatform& p) { p.ui.set_key(65, true); });
  ASSERT_EQ(game.start(), 0);
  // Two files dropped on the window before the script looks.
  ui_event drop;
  drop.message = 0x0233;
  drop.files = {"/x/one.txt", "/x/two/"};
  game.backend().ui.post_event(drop);
  game.run_ticks(6);
  ASSERT_TRUE(game.error_codes().empty()) << game.errors()[0].code << " " << game.errors()[0].text_utf8;
  EXPECT_EQ(game.int_value("n", 0), -7);  // up keeps an "up" value
  EXPECT_EQ(game.int_value("n", 1), 42);  // press counts as given
  EXPECT_EQ(game.int_value("n", 2), 9);   // down keeps a "down" value
  EXPECT_EQ(game.int_value("n", 3), -3);  // pad 1 down
  EXPECT_EQ(game.int_value("n", 4), 5);   // press count of button 33: pad 1, button 2
  EXPECT_EQ(key_states[384 + 36 + 4 + 1].press_count, 5);
  EXPECT_EQ(game.int_value("n", 5), 2);
  EXPECT_EQ(game.int_value("n", 6), 1);
  EXPECT_EQ(game.text_value("t", 0), "/W0/a/b");
  EXPECT_EQ(game.text_value("t", 1), "menu/x");
  EXPECT_EQ(game.text_value("t", 2), "/x/one.txt");
}

TEST(EngineValues, RunSettingsSwitchWhatInputSamplingReads) {
  const int a = entry_of(65), button = entry_of(1);
  headless_game game(R"(
config window_kind 1
global int n[4]
*SYSTEM_START
wait 3
run_settings input_b=0
wait 2
n[0] = )" + id(137, a) + R"(
n[1] = )" + id(137, button) + R"(
run_settings input_a=0, input_b=1
wait 2
n[2] = )" + id(137, a) + R"(
n[3] = )" + id(137, button) + R"(
*idle
wait 1
goto idle
)");
  game.prepare([](HeadlessPlatform& p) {
    p.ui.set_key(65, true);
    p.ui.set_key(1, true);  // the left button, as the keyboard state reports it
    p.ui.set_cursor(10, 10);
  });
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(12);
  ASSERT_TRUE(game.error_codes().empty());
  // Keyboard off: the key's value stops where it stood; the mouse goes on.
  const int64_t key_when_stopped = game.int_value("n", 0);
  EXPECT_GE(key_when_stopped, 1);
  EXPECT_GE(game.int_value("n", 1), 4);
  // Keyboard on again and the mouse off: the key counts on, the button holds.
  EXPECT_GT(game.int_value("n", 2), key_when_stopped);
  EXPECT_LE(game.int_value("n", 3) - game.int_value("n", 1), 1);
}

namespace {

// A game of the configured size on a desktop of the given one: the desktop
// the script reads, the window's logical size and the frame size.
void check_window_size(const char* size_line, int desktop_w, int desktop_h, int logical_w, int logical_h,
                       int frame_w, int frame_h) {
  headless_game game(std::string(size_line) + R"(
global int n[2]
*SYSTEM_START
n[0] = @105
n[1] = @106
*idle
wait 1
goto idle
)");
  game.write_file("kxcfg.dat", cpu_drawing_settings());
  game.prepare([=](HeadlessPlatform& p) { p.ui.set_desktop_mode(desktop_w, desktop_h, 32, 60); });
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  EXPECT_EQ(game.int_value("n", 0), desktop_w);
  EXPECT_EQ(game.int_value("n", 1), desktop_h);
  const window_state* main = game_window_record(0);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->logical_width, logical_w);
  EXPECT_EQ(main->logical_height, logical_h);
  EXPECT_EQ(cpu_frame_buffer.frame_width, frame_w);
  EXPECT_EQ(cpu_frame_buffer.frame_height, frame_h);
}

}  // namespace

TEST(EngineValues, ZeroSizeTakesTheRealDesktop) { check_window_size("config size 0 0", 1366, 768, 1366, 768, 1366, 768); }
TEST(EngineValues, LargerThanTheDesktopDrawsAtHalfTheDesktop) {
  check_window_size("config size 1600 900", 1280, 720, 1600, 900, 640, 360);
}
TEST(EngineValues, AWindowThatFitsKeepsItsSize) {
  check_window_size("config size 800 600", 1280, 720, 800, 600, 800, 600);
}
