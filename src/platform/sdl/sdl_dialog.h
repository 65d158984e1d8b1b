// The player's own modal dialog: a window of its own over its owner, its text
// drawn anti-aliased with the player's font layer (FreeType), answered with
// the keyboard (Enter, Escape, arrows, Tab, the buttons' letters) or the
// mouse. Message boxes and the error dialog are made of it; SDL's message box
// (X core fonts, unreadable for Japanese) is left only for a machine where no
// font can be opened.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/freetype/smooth_text.h"

struct SDL_Window;
union SDL_Event;

struct dialog_button {
  int id = 0;
  std::string label_utf8;  // "はい(Y)": the letter in brackets (or a leading ASCII letter) answers it
};

struct dialog_request {
  std::string caption_utf8, text_utf8;
  std::vector<dialog_button> buttons;
  int default_id = 0;  // Enter, and the first focus
  int escape_id = 0;   // Escape, the window's close button, an ended run
  SDL_Window* owner = nullptr;
};

// Where everything of a dialog lies, in its client coordinates.
struct dialog_rect {
  int x = 0, y = 0, width = 0, height = 0;
};
struct dialog_layout {
  int width = 0, height = 0;
  int text_x = 0, text_y = 0, line_height = 0;
  int visible_lines = 0;  // lines shown at once; more scroll
  std::vector<std::string> lines;  // Shift-JIS
  std::vector<std::string> labels;  // Shift-JIS, one per button
  std::vector<dialog_rect> buttons;
};

// The colours the dialog is drawn in (0xRRGGBB).
constexpr uint32_t dialog_background = 0xF0F0F0, dialog_ink = 0x000000;

// The font the dialogs use; null when no face can be opened. Main thread.
SmoothTextFont* dialog_font();
dialog_layout layout_dialog(SmoothTextFont& font, const dialog_request& request);
// The letter that answers a button ('Y' for "はい(Y)", 'E' for "Edit"), or 0.
char dialog_button_key(const std::string& label_utf8);

// Shows the dialog and returns the chosen button's id: escape_id when
// `stop` says the run is ending. -1 when it could not be shown (no font, no
// window). Events of other windows go to `other_events` (their input is held
// back: the dialog is modal). Main thread.
int run_dialog(const dialog_request& request, const std::function<void(const SDL_Event&)>& other_events,
               const std::function<bool()>& stop);

// Ink of `alpha` (0..255) over paper, channel by channel (0xRRGGBB).
uint32_t dialog_blend(uint32_t paper, uint32_t ink, uint8_t alpha);
