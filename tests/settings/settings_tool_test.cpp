// zarvik-settings on the headless Ui: the user's clicks and keys choose
// settings, the files written are checked byte by byte, damaged files open
// with the defaults, and the player started afterwards applies what the tool
// wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <thread>

#include <unistd.h>

#include "app/headless_run.h"
#include "core/settings.h"
#include "core/system_info.h"
#include "platform/text_encoding.h"
#include "settings/settings_tool.h"
#include "support/headless_game.h"
#include "support/png_output.h"
#include "support/temp_folder.h"

namespace {

constexpr int vk_return = 0x0D, vk_escape = 0x1B, vk_space = 0x20, vk_left = 0x25, vk_up = 0x26,
              vk_right = 0x27, vk_down = 0x28;

// 32 little-endian slots, the given ones set, the rest 0.
std::vector<uint8_t> slots_bytes(const std::map<int, uint32_t>& values, size_t slot_count = 32) {
  std::vector<uint8_t> bytes(slot_count * 4, 0);
  for (auto [slot, v] : values)
    for (int i = 0; i < 4; ++i)
      if (static_cast<size_t>(slot) < slot_count) bytes[static_cast<size_t>(slot) * 4 + i] = uint8_t(v >> (8 * i));
  return bytes;
}
// kxcfg.dat as the tool writes the player's defaults: DirectShow, SSE, SSE2,
// up to four workers and dithering on; GPU drawing at its first level.
std::map<int, uint32_t> default_engine_slots() { return {{0, 1}, {2, 1}, {3, 1}, {4, 1}, {14, 1}}; }
std::map<int, uint32_t> with(std::map<int, uint32_t> m, std::map<int, uint32_t> changes) {
  for (auto [k, v] : changes) m[k] = v;
  return m;
}

int row_of(bool save_file, int slot) {
  const auto& rows = settings_tool_rows();
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows[i].save_file == save_file && rows[i].slot == slot) return static_cast<int>(i);
  ADD_FAILURE() << "no row for slot " << slot;
  return 0;
}

// The user's input, queued before the window opens.
void click_choice(HeadlessUi& ui, int row, int times = 1) {
  const ui_rect r = settings_choice_box(row);
  for (int i = 0; i < times; ++i) ui.click(0, r.x + r.width - 10, r.y + r.height / 2);
}
void click_back(HeadlessUi& ui, int row) {
  const ui_rect r = settings_left_arrow(row);
  ui.click(0, r.x + r.width / 2, r.y + r.height / 2);
}
void click_button(HeadlessUi& ui, int button) {
  const ui_rect r = settings_button_box(button);
  ui.click(0, r.x + r.width / 2, r.y + r.height / 2);
}
void keys(HeadlessUi& ui, std::initializer_list<int> vks) {
  for (int vk : vks) ui.press_key(0, vk);
}

struct tool_run {
  settings_tool_end end = settings_no_window;
  std::vector<HeadlessUi::box_record> boxes;
  headless_frame frame;  // the window's last picture
};

// Runs the settings program in `folder` (its own folder, where it is
// installed) with the input `act` queues.
tool_run run_tool(const temp_folder& folder, const std::function<void(HeadlessUi&)>& act) {
  HeadlessPlatform p(folder.path());
  if (act) act(p.ui);
  tool_run r;
  r.end = run_settings_tool();
  r.boxes = p.ui.boxes();
  r.frame = p.ui.frame(0);
  return r;
}

std::vector<std::string> folder_names(const std::string& path) {
  std::vector<std::string> names;
  HeadlessPlatform p(path);
  for (const host_folder_entry& e : p.files->list_folder("")) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(settings_tool, NoFilesOkWritesTheDefaultsOfBothFiles) {
  temp_folder game;
  tool_run r = run_tool(game, [](HeadlessUi& ui) { ui.press_key(0, vk_return); });
  EXPECT_EQ(r.end, settings_saved);
  EXPECT_EQ(game.read("kxcfg.dat"), slots_bytes(default_engine_slots()));
  EXPECT_EQ(game.read("kxsfs.dat"), slots_bytes({}));
  EXPECT_TRUE(r.boxes.empty());
}

TEST(settings_tool, MouseAndKeyboardChoicesWriteExactBytes) {
  struct case_row {
    const char* name;
    std::function<void(HeadlessUi&)> act;
    std::map<int, uint32_t> engine, save;
  };
  const int drawing = row_of(false, 8), scaling = row_of(false, 7), workers = row_of(false, 4),
            movie = row_of(false, 0), title = row_of(false, 9), switch_row = row_of(false, 10),
            folder = row_of(true, 21);
  const std::vector<case_row> cases = {
      {"drawing by CPU with smoothing, by two clicks",
       [&](HeadlessUi& ui) {
         click_choice(ui, drawing, 2);
         click_button(ui, button_ok);
       },
       {{8, 2}}, {}},
      {"one worker, by the keyboard: down to the row, right, Enter",
       [&](HeadlessUi& ui) {
         for (int i = 0; i < workers; ++i) ui.press_key(0, vk_down);
         keys(ui, {vk_right, vk_return});
       },
       {{4, 0}}, {}},
      {"a step back wraps to the last choice; the save folder goes to My Games",
       [&](HeadlessUi& ui) {
         click_back(ui, drawing);
         click_back(ui, folder);
         click_button(ui, button_ok);
       },
       {{8, 3}}, {{21, 3}}},
      {"scaling to game size, MCI movies, title click to the game, the game switch",
       [&](HeadlessUi& ui) {
         click_choice(ui, scaling, 3);
         click_choice(ui, movie);
         click_choice(ui, title);
         click_choice(ui, switch_row);
         click_choice(ui, folder, 2);
         // Space steps the focused row (the last clicked) once more: Documents -> My Games.
         keys(ui, {vk_space, vk_return});
       },
       {{7, 3}, {0, 0}, {9, 1}, {10, 1}}, {{21, 3}}},
      {"the full round of four choices comes back to the first",
       [&](HeadlessUi& ui) {
         click_choice(ui, drawing, 4);
         keys(ui, {vk_up, vk_return});  // the row above the first: the Apply button
         click_button(ui, button_cancel);
       },
       {}, {}},
  };
  for (const case_row& c : cases) {
    SCOPED_TRACE(c.name);
    temp_folder game;
    tool_run r = run_tool(game, c.act);
    EXPECT_EQ(game.read("kxcfg.dat"), slots_bytes(with(default_engine_slots(), c.engine)));
    EXPECT_EQ(game.read("kxsfs.dat"), slots_bytes(c.save));
  }
}

TEST(settings_tool, EveryChoiceWritesItsSlotAndMeansWhatItsLabelSays) {
  // Every slot that changes something has a row, and nothing else does.
  const auto& rows = settings_tool_rows();
  std::vector<int> shown, acting;
  for (const settings_row& r : rows)
    if (!r.save_file) shown.push_back(r.slot);
  for (const settings_slot_rule& r : engine_settings_rules) acting.push_back(r.slot);
  std::sort(shown.begin(), shown.end());
  EXPECT_EQ(shown, acting);
  // Each choice, reached by clicks, writes its value in its slot (the first
  // choice is the default); by the English part of its label, what the
  // player's reader makes of it.
  const engine_settings_record& e = engine_settings;
  const std::map<std::string, std::function<bool()>> effects = {
      {"GPU, high quality", [&] { return e.gpu_drawing == 1 && e.quality_level == 3; }},
      {"GPU, standard", [&] { return e.gpu_drawing == 1 && e.quality_level == 2; }},
      {"CPU, bilinear", [&] { return e.gpu_drawing == 0 && e.quality_level == 1 && e.smoothing == 1; }},
      {"CPU, no smoothing", [&] { return e.gpu_drawing == 0 && e.quality_level == 0 && e.smoothing == 0; }},
      {"Fit, keep aspect", [&] { return e.scaling_policy == 1; }},
      {"Fill, keep aspect", [&] { return e.scaling_policy == 2; }},
      {"Stretch", [&] { return e.scaling_policy == 3; }},
      {"Game size", [&] { return e.scaling_policy == 0; }},
      {"Search", [&] { return e.best_mode_search == 1; }},
      {"Desktop size", [&] { return e.best_mode_search == 0; }},
      {"Up to four", [&] { return e.worker_maximum == 4; }},
      {"One", [&] { return e.worker_maximum == 1; }},
      {"DirectShow", [&] { return e.movie_engine == 1; }},
      {"MCI", [&] { return e.movie_engine == 0; }},
      {"Maximise", [&] { return e.title_double_click_to_script == 0; }},
      {"Tell the game", [&] { return e.title_double_click_to_script == 1; }},
      {"Try", [&] { return e.device_option == 0; }},
      {"Skip", [&] { return e.device_option == 1; }},
      {"32-bit", [&] { return e.texture_bits == 32 && e.texture_format_code == 21; }},
      {"16-bit", [&] { return e.texture_bits == 16 && e.texture_format_code == 26; }},
      {"Game folder", [&] { return save_settings.save_folder_mode == 0; }},
      {"User data", [&] { return save_settings.save_folder_mode == 1; }},
      {"Documents", [&] { return save_settings.save_folder_mode == 2; }},
      {"Documents/My Games", [&] { return save_settings.save_folder_mode == 3; }},
  };
  // Yes/No, On/Off rows: the field of their slot.
  const std::map<int, const uint8_t*> switches = {{2, &e.sse_allowed},      {3, &e.sse2_allowed},
                                                  {10, &e.script_switch},   {14, &e.texture_option},
                                                  {22, &e.disable_composition}};
  for (size_t i = 0; i < rows.size(); ++i) {
    for (size_t k = 0; k < rows[i].choices.size(); ++k) {
      const std::string label = rows[i].choices[k].label;
      SCOPED_TRACE(label);
      temp_folder game;
      run_tool(game, [&](HeadlessUi& ui) {
        click_choice(ui, static_cast<int>(i), static_cast<int>(k));
        click_button(ui, button_ok);
      });
      std::map<int, uint32_t> engine = default_engine_slots(), save;
      (rows[i].save_file ? save : engine)[rows[i].slot] = rows[i].choices[k].value;
      EXPECT_EQ(game.read("kxcfg.dat"), slots_bytes(engine));
      EXPECT_EQ(game.read("kxsfs.dat"), slots_bytes(save));
      HeadlessPlatform p(game.path());
      engine_settings = {};
      save_settings = {};
      read_engine_settings();
      read_save_settings();
      const std::string english = label.substr(label.find(" / ") == std::string::npos ? 0 : label.find(" / ") + 3);
      if (auto it = effects.find(english); it != effects.end()) {
        EXPECT_TRUE(it->second());
      } else {
        ASSERT_TRUE(switches.count(rows[i].slot)) << "no expectation for this choice";
        const bool on = english == "Yes" || english == "On";
        ASSERT_TRUE(on || english == "No" || english == "Off");
        EXPECT_EQ(*switches.at(rows[i].slot), on ? 1 : 0);
      }
    }
  }
}

TEST(settings_tool, DamagedFilesOpenWithDefaultsAndKeepWhatTheyHold) {
  struct case_row {
    const char* name;
    std::vector<uint8_t> engine_file, save_file;
    std::map<int, uint32_t> engine, save;  // written by OK without changes
  };
  std::vector<uint8_t> ragged = slots_bytes({{0, 0}, {2, 0}}, 3);
  ragged.push_back(0x55);  // half a slot
  std::vector<uint8_t> longer = slots_bytes({{8, 3}, {31, 9}});
  longer.insert(longer.end(), 40, 0xEE);
  const std::vector<case_row> cases = {
      {"empty files", {}, {}, default_engine_slots(), {}},
      {"short files: what they hold, defaults for the rest", ragged, slots_bytes({{21, 2}}, 22),
       with(default_engine_slots(), {{0, 0}, {2, 0}}), {{21, 2}}},
      {"values the player ignores are replaced by the defaults",
       slots_bytes({{0, 7}, {2, 2}, {6, 2}, {7, 4}, {8, 0xFFFFFFFF}, {9, 3}, {13, 2}, {14, 5}, {22, 9}}),
       slots_bytes({{21, 4}}), with(default_engine_slots(), {{3, 0}, {4, 0}}), {}},
      {"slots without effect keep their bytes", slots_bytes({{1, 0xDEADBEEF}, {4, 4}, {8, 2}, {31, 7}}),
       slots_bytes({{0, 5}, {21, 1}, {30, 0x12345678}}), {{1, 0xDEADBEEF}, {4, 4}, {8, 2}, {31, 7}},
       {{0, 5}, {21, 1}, {30, 0x12345678}}},
      {"a longer file: its 32 slots (the zeros act: MCI, no SSE, one worker)", longer, {}, {{8, 3}, {31, 9}}, {}},
  };
  for (const case_row& c : cases) {
    SCOPED_TRACE(c.name);
    temp_folder game;
    game.write("kxcfg.dat", c.engine_file);
    game.write("kxsfs.dat", c.save_file);
    tool_run r = run_tool(game, [](HeadlessUi& ui) { click_button(ui, button_ok); });
    EXPECT_EQ(r.end, settings_saved);
    EXPECT_EQ(game.read("kxcfg.dat"), slots_bytes(c.engine));
    EXPECT_EQ(game.read("kxsfs.dat"), slots_bytes(c.save));
  }
  // A whole valid file comes back byte for byte.
  temp_folder game;
  const std::vector<uint8_t> full = slots_bytes(with(default_engine_slots(), {{7, 2}, {8, 1}, {12, 1}, {22, 1}}));
  game.write("kxcfg.dat", full);
  run_tool(game, [](HeadlessUi& ui) { ui.press_key(0, vk_return); });
  EXPECT_EQ(game.read("kxcfg.dat"), full);
}

TEST(settings_tool, CancelEscapeClosingAndNoInputWriteNothing) {
  const std::vector<std::pair<const char*, std::function<void(HeadlessUi&)>>> cases = {
      {"Cancel", [](HeadlessUi& ui) { click_choice(ui, 0); click_button(ui, button_cancel); }},
      {"Escape", [](HeadlessUi& ui) { click_choice(ui, 0); ui.press_key(0, vk_escape); }},
      {"closing the window",
       [](HeadlessUi& ui) {
         click_choice(ui, 0);
         ui_event e;
         e.message = msg_close;
         ui.post_event(e);
         click_button(ui, button_ok);  // never reached
       }},
      {"no more input", [](HeadlessUi& ui) { click_choice(ui, 0); }},
  };
  const std::vector<uint8_t> old = slots_bytes({{8, 3}}, 9);
  for (const auto& [name, act] : cases) {
    SCOPED_TRACE(name);
    temp_folder game;
    game.write("kxcfg.dat", old);
    const std::vector<std::string> before = folder_names(game.path());
    tool_run r = run_tool(game, act);
    EXPECT_EQ(r.end, settings_cancelled);
    EXPECT_EQ(game.read("kxcfg.dat"), old);
    EXPECT_FALSE(game.exists("kxsfs.dat"));
    EXPECT_EQ(folder_names(game.path()), before);
  }
}

TEST(settings_tool, ApplyWritesAndKeepsTheWindowOpen) {
  temp_folder game;
  const int drawing = row_of(false, 8);
  tool_run r = run_tool(game, [&](HeadlessUi& ui) {
    click_choice(ui, drawing, 2);
    click_button(ui, button_apply);
    click_choice(ui, drawing);  // after Apply, then cancelled: not written
    click_button(ui, button_cancel);
  });
  EXPECT_EQ(r.end, settings_cancelled);
  EXPECT_EQ(game.read("kxcfg.dat"), slots_bytes(with(default_engine_slots(), {{8, 2}})));
  EXPECT_EQ(game.read("kxsfs.dat"), slots_bytes({}));
  // Only the two files were made in the game folder.
  EXPECT_EQ(folder_names(game.path()), (std::vector<std::string>{"kxcfg.dat", "kxsfs.dat"}));
}

TEST(settings_tool, TheWindowDrawsTheChosenValuesWithThePlayersFont) {
  // Ink inside a row's choice box (between the arrows), and its picture.
  auto ink = [](const headless_frame& f, int row) {
    const ui_rect b = settings_choice_box(row);
    int count = 0;
    for (int y = b.y + 3; y < b.y + b.height - 3; ++y)
      for (int x = b.x + 30; x < b.x + b.width - 30; ++x) count += f.bgra[(size_t(y) * f.width + x) * 4] < 0x80;
    return count;
  };
  auto box_pixels = [](const headless_frame& f, int row) {
    const ui_rect b = settings_choice_box(row);
    std::vector<uint8_t> px;
    for (int y = b.y; y < b.y + b.height; ++y)
      px.insert(px.end(), f.bgra.begin() + (size_t(y) * f.width + b.x) * 4,
                f.bgra.begin() + (size_t(y) * f.width + b.x + b.width) * 4);
    return px;
  };
  temp_folder a, b;
  tool_run first = run_tool(a, nullptr);
  tool_run stepped = run_tool(b, [](HeadlessUi& ui) { click_choice(ui, 0); });
  ASSERT_EQ(first.frame.width, settings_window_width());
  ASSERT_EQ(first.frame.height, settings_window_height());
  // The title band's colour, then text in every row's box.
  EXPECT_EQ(first.frame.bgra[(5 * size_t(first.frame.width) + 5) * 4 + 2], 0x20);
  for (int row = 0; row < static_cast<int>(settings_tool_rows().size()); ++row) EXPECT_GT(ink(first.frame, row), 40) << row;
  // Another choice shows other text in that row only.
  EXPECT_NE(box_pixels(first.frame, 0), box_pixels(stepped.frame, 0));
  EXPECT_EQ(box_pixels(first.frame, 5), box_pixels(stepped.frame, 5));
  if (const char* shot = std::getenv("ZARVIK_SCREENSHOT"))
    write_bgra_png(shot, stepped.frame.bgra.data(), stepped.frame.width, stepped.frame.height, false);
}

TEST(settings_tool, AFileThatCannotBeWrittenIsReportedAndTheWindowStays) {
  // kxsfs.dat is a folder: it cannot be replaced. kxcfg.dat is written first
  // and the user is told; OK then does not end the window.
  temp_folder game;
  game.write("kxsfs.dat/keep", std::vector<uint8_t>{1});
  tool_run r = run_tool(game, [](HeadlessUi& ui) {
    click_choice(ui, row_of(false, 8), 3);
    click_button(ui, button_ok);
  });
  EXPECT_EQ(r.end, settings_cancelled);  // the input ran out with the window open
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_NE(sjis_to_utf8(r.boxes[0].text).find("書き込めませんでした"), std::string::npos);
  EXPECT_EQ(game.read("kxcfg.dat"), slots_bytes(with(default_engine_slots(), {{8, 3}})));
  EXPECT_EQ(game.read("kxsfs.dat/keep"), std::vector<uint8_t>{1});
  EXPECT_EQ(folder_names(game.path()), (std::vector<std::string>{"kxcfg.dat", "kxsfs.dat"}));
}

namespace {

std::vector<std::string> lines_with(const std::vector<std::string>& lines, const std::string& part) {
  std::vector<std::string> found;
  for (const std::string& l : lines)
    if (l.find(part) != std::string::npos) found.push_back(l);
  return found;
}

}  // namespace

TEST(settings_tool, ThePlayerAppliesTheWorkerCountTheToolWrote) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  for (bool one_worker : {false, true}) {
    SCOPED_TRACE(one_worker ? "one worker" : "up to four");
    headless_game game(frame_counting_game);
    run_tool(game.folder(), [&](HeadlessUi& ui) {
      if (one_worker) click_choice(ui, row_of(false, 4));
      click_button(ui, button_ok);
    });
    ASSERT_EQ(game.start(), 0);
    game.run_ticks(3);
    EXPECT_EQ(engine_settings.gpu_drawing, 1);
    const unsigned expected = one_worker ? 1 : std::min(4u, cores);
    // GPU drawing writes the environment report with the worker count.
    EXPECT_EQ(lines_with(game.log_lines(), "CPU_COREUSE"),
              (std::vector<std::string>{"CPU_COREUSE = " + std::to_string(expected)}));
    EXPECT_EQ(system_info.worker_count, expected);
  }
}

TEST(settings_tool, ThePlayerDrawsOnTheCpuAndSavesWhereTheToolChose) {
  headless_game game(frame_counting_game);
  run_tool(game.folder(), [](HeadlessUi& ui) {
    click_choice(ui, row_of(false, 8), 3);  // CPU without smoothing
    click_choice(ui, row_of(true, 21), 2);  // documents
    click_button(ui, button_ok);
  });
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(5);
  EXPECT_GE(game.int_value("frames"), 3);
  EXPECT_EQ(engine_settings.gpu_drawing, 0);
  EXPECT_EQ(engine_settings.smoothing, 0);
  EXPECT_EQ(engine_settings.drawing_method, 3);
  // CPU drawing from the start: no environment report, no fall-back box.
  EXPECT_TRUE(lines_with(game.log_lines(), "CPU_COREUSE").empty());
  EXPECT_TRUE(game.backend().ui.boxes().empty());
  EXPECT_EQ(save_settings.save_folder_mode, 2);
  EXPECT_EQ(save_settings.save_path,
            utf8_to_sjis(game.backend().process.documents_folder_host()) + "Quillmere_SaveData\\KEP\\save\\");
  int w = 0, h = 0;
  std::vector<uint8_t> bgra;
  EXPECT_TRUE(composited_main_frame(w, h, bgra));
}

TEST(settings_tool, TheSettingsArgumentStartsTheToolInstalledBesideThePlayer) {
  headless_game game(frame_counting_game);
  game.prepare([](HeadlessPlatform& p) { p.process.set_arguments({"/KxCfg"}); });
  EXPECT_NE(game.start(), 0);
  const auto spawns = game.backend().process.spawns();
  ASSERT_EQ(spawns.size(), 1u);
  EXPECT_EQ(spawns[0], (std::vector<std::string>{game.folder().path() + "zarvik-settings", "/kxcfg"}));
  // The build puts the program beside the player.
  EXPECT_EQ(access(ZARVIK_BINARY_DIR "/zarvik-settings", X_OK), 0);
  EXPECT_EQ(access(ZARVIK_BINARY_DIR "/zarvik", X_OK), 0);
}
