// The player's own boxes, drawn into the game window with the engine's font
// layer (so they work in full screen and headless alike): the single-line
// edit box of the system-call command, the input boxes of commands 10 and
// 103, and the one-second notice. Plus the modal wait that keeps the window
// alive while a script waits for a box or a program.
#pragma once
#include <cstdint>
#include <string>

#include "platform/platform.h"

struct system_dialog_record {
  // 1 while command 10's message box is up (read by the window procedure).
  uint8_t message_box_open = 0;
  // Sub-functions 20011 / 20012 (read by the window procedure on focus changes).
  uint8_t focus_resume = 0;
  // The input box of sub-function 10201: the text entered and OK (1) or cancel (0).
  std::string entered_text;
  uint8_t entered_result = 0;
};
extern system_dialog_record system_dialogs;

constexpr size_t input_text_limit = 4096;  // bytes, with the terminating zero
constexpr size_t edit_box_limit = 256;     // bytes typed into the edit box
constexpr size_t edit_box_read_limit = 260;

// ---- the edit box (one at a time; a second replaces the first)
// Shows it at client point (x, y) of window 0, w x h, holding `text`.
void create_edit_box(const std::string& text, int x, int y, int w, int h);
void close_edit_box();
bool edit_box_exists();
void set_edit_box_text(const std::string& text);
// The text, at most 260 bytes, never cut inside a character. "" without a box.
std::string edit_box_text();
void set_edit_box_focus(bool focused);
bool edit_box_focused();

// ---- modal boxes. Each returns 1 for OK, 0 for cancel, -1 when it cannot be
// shown (no main window) or the program is quitting.
// `limit` 0: up to input_text_limit - 1 bytes. Without `can_cancel` only OK
// (and Enter) ends it.
int run_input_box(const std::string& caption, const std::string& prompt, const std::string& initial, size_t limit,
                  bool can_cancel, std::string& out);
// Shown over the main window for `ticks` x 100 ms, then it closes itself.
void run_notice_box(const std::string& caption, const std::string& text, int ticks);

// One step of a modal wait: the window's messages are handled (input goes to
// the open box), then the thread sleeps `ms`. False when the program is
// quitting (a close was confirmed or quit was set).
bool modal_wait_step(uint32_t ms);
// The program's wait step (it keeps the window's messages moving on the
// thread that owns them); set at start-up.
extern bool (*modal_wait_hook)(uint32_t ms);

// Routes window events to the open box; true when the event was taken.
bool system_dialog_event_filter(const ui_event& event);

// Removes the boxes (restart and tests).
void reset_system_dialogs();
