// zarvik-settings: the settings program that "zarvik /kxcfg" starts, installed
// beside the player. One window lists every setting of kxcfg.dat that changes
// something and the save-folder choice of kxsfs.dat, and writes both files in
// the game folder (the program's own folder) through the layout code the
// player reads them with.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

struct settings_choice {
  uint32_t value;
  const char* label;  // UTF-8, "Japanese / English"
};

// One line of the window: a slot of one of the two files and its choices.
struct settings_row {
  bool save_file;  // kxsfs.dat, else kxcfg.dat
  int slot;
  const char* label_ja;  // UTF-8
  const char* label_en;
  std::vector<settings_choice> choices;
  // Every value but 0 means the same as the non-zero choice (worker threads).
  bool any_non_zero = false;
};
const std::vector<settings_row>& settings_tool_rows();

// The three buttons, left to right.
enum settings_button : int { button_ok = 0, button_cancel = 1, button_apply = 2 };

// Where things are in the window (client coordinates): a row's choice box,
// whose left arrow steps back and the rest forward, and a button.
ui_rect settings_choice_box(int row);
ui_rect settings_left_arrow(int row);
ui_rect settings_button_box(int button);
int settings_window_width();
int settings_window_height();

enum settings_tool_end : int {
  settings_saved = 0,      // OK wrote both files
  settings_cancelled = 1,  // Cancel, closing the window, or no more input
  settings_no_window = 2,  // the window could not be made
};

// Opens the window on the installed platform, reading both files (missing,
// short or damaged parts open with the defaults), and runs it until OK,
// Cancel or closing. A platform without a user (headless) ends as cancelled
// once the queued input is used up.
settings_tool_end run_settings_tool();
