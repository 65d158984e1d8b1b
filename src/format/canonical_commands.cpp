#include "format/canonical_commands.h"

#include <initializer_list>
#include <string>

namespace {

enum : uint8_t { k_int = 0, k_str = 1, k_raw = 2 };

compiled_parameter p(const char* name, uint8_t kind, uint8_t range = 0) { return {name, kind, range}; }

// Rows whose parameter list is empty are completed by the issue that builds
// the command's handler; until then their instructions carry no arguments the
// binder could look up.
std::vector<compiled_command> build() {
  std::vector<compiled_command> t(canonical_command_count);
  const char* names[canonical_command_count] = {
      "nop",                  // 0
      "layer",                // 1
      "cg",                   // 2
      "layer_delete",         // 3
      "layer_info",           // 4
      "clipboard_set",        // 5
      "clipboard_get",        // 6
      "text_lines",           // 7
      "csv_count",            // 8
      "nop9",                 // 9
      "message_box",          // 10
      "elseif",               // 11
      "quit",                 // 12
      "engine_options",       // 13
      "args14",               // 14
      "unused15",             // 15
      "unused16",             // 16
      "unused17",             // 17
      "unused18",             // 18
      "file",                 // 19
      "file_exists",          // 20
      "flash_open",           // 21
      "flash_close",          // 22
      "flash_query",          // 23
      "real",                 // 24
      "font",                 // 25
      "font_info",            // 26
      "frame_rate",           // 27
      "unused28",             // 28
      "unused29",             // 29
      "unused30",             // 30
      "unused31",             // 31
      "goto",                 // 32
      "call",                 // 33
      "if",                   // 34
      "else",                 // 35
      "break",                // 36
      "continue",             // 37
      "end",                  // 38
      "run_settings",         // 39
      "int",                  // 40
      "nop41",                // 41
      "label_exists",         // 42
      "let",                  // 43
      "load_value",           // 44
      "loop",                 // 45
      "loop_break",           // 46
      "loop_continue",        // 47
      "loop_end",             // 48
      "unused49",             // 49
      "math",                 // 50
      "system_values",        // 51
      "menu_item",            // 52
      "popup_menu",           // 53
      "menu_delete",          // 54
      "menu_get",             // 55
      "args56",               // 56
      "args57",               // 57
      "args58",               // 58
      "cursor",               // 59
      "movie_play",           // 60
      "movie_stop",           // 61
      "movie_status",         // 62
      "args63",               // 63
      "nop64",                // 64
      "registry",             // 65
      "return",               // 66
      "nop67",                // 67
      "message_end",          // 68
      "nop69",                // 69
      "nop70",                // 70
      "nop71",                // 71
      "unused72",             // 72
      "save_value",           // 73
      "staged_clear",         // 74
      "args75",               // 75
      "sound",                // 76
      "sound_delete",         // 77
      "sound_query",          // 78
      "string",               // 79
      "system_settings",      // 80
      "script_list",          // 81
      "task",                 // 82
      "task_delete",          // 83
      "task_query",           // 84
      "message_window",       // 85
      "message_window_query", // 86
      "tray_menu",            // 87
      "args88",               // 88
      "array_util",           // 89
      "variable_info",        // 90
      "wait",                 // 91
      "window",               // 92
      "window_hide",          // 93
      "window_query",         // 94
      "text",                 // 95
      "image_set",            // 96
      "image_set_release",    // 97
      "image_set_query",      // 98
      "text_value",           // 99
      "unused100",            // 100
      "unused101",            // 101
      "unused102",            // 102
      "system_call",          // 103
      "unused104",            // 104
      "unused105",            // 105
      "unused106",            // 106
      "unused107",            // 107
  };
  for (int i = 0; i < canonical_command_count; ++i) t[i].name = names[i];

  // 11 else-if, 34 if: not bound; the condition is evaluated by the handler,
  // the targets are instruction indexes in the length fields.
  t[11].parameters = {p("condition", k_raw), p("false_target", k_raw)};
  t[34].parameters = {p("condition", k_raw), p("false_target", k_raw), p("end_target", k_raw)};

  // 13 engine options: option n is parameter_id n + 2 (ids 3..99 fit the
  // presence table; options 98..108 cannot be given).
  {
    std::vector<compiled_parameter>& ps = t[13].parameters;
    ps.push_back(p("reserved0", k_int));
    ps.push_back(p("reserved1", k_int));
    ps.push_back(p("reserved2", k_int));
    for (int id = 3; id < 100; ++id) ps.push_back(compiled_parameter{"option" + std::to_string(id - 2), k_int, 0});
  }

  // 24, 40, 79 declarations: the target (variable with its sizes) is read in
  // assignment-target mode and the initial value by its value type, so both
  // stay raw.
  for (int n : {24, 40, 79}) t[n].parameters = {p("declaration", k_raw), p("value", k_raw)};

  // 32 goto: the label, pre-resolved at load into the length field.
  t[32].parameters = {p("label", k_raw)};

  // 33 call: the label, then integer, real and text arguments 1..16. Reals
  // are evaluated in real arithmetic by the handler, so they stay raw.
  {
    std::vector<compiled_parameter>& ps = t[33].parameters;
    ps.push_back(p("label", k_raw));
    for (int i = 1; i <= 16; ++i) ps.push_back(compiled_parameter{"i" + std::to_string(i), k_int, 0});
    for (int i = 1; i <= 16; ++i) ps.push_back(compiled_parameter{"r" + std::to_string(i), k_raw, 0});
    for (int i = 1; i <= 16; ++i) ps.push_back(compiled_parameter{"s" + std::to_string(i), k_str, 0});
  }
  // 66 return: integer, real and text values 1..16 (ids 0..15, 16..31, 32..47).
  {
    std::vector<compiled_parameter>& ps = t[66].parameters;
    for (int i = 1; i <= 16; ++i) ps.push_back(compiled_parameter{"i" + std::to_string(i), k_int, 0});
    for (int i = 1; i <= 16; ++i) ps.push_back(compiled_parameter{"r" + std::to_string(i), k_raw, 0});
    for (int i = 1; i <= 16; ++i) ps.push_back(compiled_parameter{"s" + std::to_string(i), k_str, 0});
  }

  // 36, 37, 46, 47: the level count n (default 1).
  for (int n : {36, 37, 46, 47}) t[n].parameters = {p("levels", k_int)};

  // 42 label exists: name, output variable (an integer expression, so the
  // binder records the variable it names), and the switch that runs the test.
  t[42].parameters = {p("name", k_str), p("output", k_int), p("test", k_int)};

  // 43 let: not bound; target and value are evaluated by the handler.
  t[43].parameters = {p("target", k_raw), p("value", k_raw)};

  // 45 loop: the count, and the end target in the length field.
  t[45].parameters = {p("count", k_int), p("end_target", k_raw)};

  // 27 frame rate: frames per second (1..1024) and the frame-skip switch.
  t[27].parameters = {p("fps", k_int, 16), p("frame_skip", k_int, 3)};

  // 39 run settings: the two input settings and the switch.
  t[39].parameters = {p("input_a", k_int), p("input_b", k_int), p("switch", k_int, 3)};

  // 68 message end: not bound; its first record is kept as the task's mark.
  t[68].parameters = {p("mark", k_raw)};

  // Outputs are integer expressions so that the binder records the variable
  // element they name; a value of a real or text expression stays raw.
  auto numbered = [](std::vector<compiled_parameter>& ps, const char* prefix, int first, int last, uint8_t kind) {
    for (int i = first; i <= last; ++i) ps.push_back(compiled_parameter{prefix + std::to_string(i), kind, 0});
  };
  auto switches = [](std::vector<compiled_parameter>& ps, std::initializer_list<const char*> names) {
    for (const char* n : names) ps.push_back(compiled_parameter{n, k_int, 0});
  };

  // 50 math: output, operand, second operand, text operand, then one switch
  // per function.
  t[50].parameters = {p("output", k_int), p("x", k_raw), p("y", k_raw), p("text", k_str)};
  switches(t[50].parameters, {"sin", "asin", "sinh", "cos", "acos", "cosh", "tan", "atan", "atan2", "tanh", "sqrt",
                              "abs", "exp", "log", "log10", "pow", "random", "crc32"});
  // 51 derived values: the integer and the real variable.
  t[51].parameters = {p("integers", k_int), p("reals", k_int)};
  // 56..58 bind only.
  for (int n : {56, 57, 58}) numbered(t[n].parameters, "p", 0, 7, k_int);

  // 80 settings: screen-saver block, keep running while inactive, client
  // size, play-time counters 1..4.
  t[80].parameters = {p("screen_saver_block", k_int), p("keep_running_inactive", k_int), p("width", k_int),
                      p("height", k_int), p("play_time1", k_int), p("play_time2", k_int),
                      p("play_time3", k_int), p("play_time4", k_int)};
  // 21..23 Flash movie: file, start switch, rectangle, user value; the
  // query's switches and its output (argument 10).
  t[21].parameters = {p("file", k_str), p("start", k_int), p("x", k_int),     p("y", k_int),
                      p("width", k_int), p("height", k_int), p("user_value", k_int)};
  t[23].parameters = {p("playing", k_int), p("variable", k_int), p("x", k_int),     p("y", k_int),
                      p("width", k_int),   p("height", k_int),   p("frame", k_int), p("user_value", k_int),
                      p("total_frames", k_int), p("output", k_int)};
  // 52..55 menu items, 59 cursor, 65 registry, 87 tray icon.
  t[52].parameters = {p("path", k_str),    p("caption", k_str), p("position", k_int), p("visible", k_int),
                      p("enabled", k_int), p("checked", k_int), p("id", k_int)};
  t[53].parameters = {p("path", k_str), p("show", k_int)};
  t[54].parameters = {p("path", k_str)};
  t[55].parameters = {p("output", k_int), p("path", k_str), p("caption", k_int), p("exists", k_int),
                      p("position", k_int), p("visible", k_int), p("enabled", k_int), p("checked", k_int),
                      p("id", k_int)};
  t[59].parameters = {p("mode", k_int),   p("delay", k_int),    p("wake_move", k_int), p("wake_click", k_int),
                      p("wake_wheel", k_int), p("x", k_int),    p("y", k_int),         p("shape", k_int),
                      p("hot_x", k_int),  p("hot_y", k_int),    p("layer", k_str)};
  t[65].parameters = {p("key", k_str), p("value", k_str), p("output", k_int)};
  t[87].parameters = {p("show", k_int), p("tooltip", k_str), p("icon", k_str), p("menu", k_str)};

  // 81 script list: name, count and number switches, the 1-based entry, output.
  t[81].parameters = {p("name", k_int), p("count", k_int), p("number", k_int), p("index", k_int),
                      p("output", k_int)};
  // 82 task start.
  {
    std::vector<compiled_parameter>& ps = t[82].parameters;
    ps = {p("name", k_str), p("run_a", k_int), p("run_b", k_int), p("priority", k_int)};
    numbered(ps, "i", 1, 10, k_int);
    numbered(ps, "r", 1, 10, k_int);  // integer values, stored as reals
    numbered(ps, "reserved", 24, 33, k_int);
    ps.push_back(p("label", k_str));
    ps.push_back(p("state", k_str));
    ps.push_back(p("reserved36", k_int));
    ps.push_back(p("rerun", k_int));
  }
  // 83 task delete.
  t[83].parameters = {p("name", k_str)};
  // 84 task query: the task, the output, then one switch per value.
  t[84].parameters = {p("name", k_str), p("output", k_int)};
  switches(t[84].parameters, {"exists", "run_a", "run_b", "priority", "script_name", "script_number", "line",
                              "caller_name", "caller_number", "call_line", "mark1", "mark2", "reserved14",
                              "reserved15", "block_depth", "call_depth", "loop_depth", "state"});

  // 89 text and array utility.
  t[89].parameters = {p("source", k_int), p("destination", k_int)};
  switches(t[89].parameters, {"erase", "substring", "start", "count", "convert", "upper_ascii", "upper",
                              "lower_ascii", "lower", "to_wide", "to_narrow", "resize", "insert", "delete"});
  // 90 variable information.
  t[90].parameters = {p("variable", k_int), p("output", k_int)};
  switches(t[90].parameters, {"type", "wide_first", "dimensions"});
  numbered(t[90].parameters, "size", 1, 8, k_int);
  switches(t[90].parameters, {"length", "search", "smallest", "int_value"});
  t[90].parameters.push_back(p("real_value", k_raw));
  t[90].parameters.push_back(p("text_value", k_str));
  switches(t[90].parameters, {"from", "to"});

  // 25 font settings: the slot, the face by number or name, then the
  // attributes; the handler combines and clamps them itself.
  t[25].parameters = {p("slot", k_int),          p("face_number", k_int),  p("face_name", k_str),
                      p("glyph_mode", k_int),    p("colour", k_int),       p("second_colour", k_int),
                      p("gradient", k_int),      p("rotation", k_int),     p("overlay", k_int),
                      p("width", k_int),         p("height", k_int),       p("bold", k_int)};
  // 26 font information: switches choosing the answer, the character to
  // measure and the output variable.
  t[26].parameters = {p("face_number", k_int),   p("face_name", k_int),    p("glyph_mode", k_int),
                      p("colour", k_int),        p("second_colour", k_int), p("gradient", k_int),
                      p("rotation", k_int),      p("overlay", k_int),      p("width", k_int),
                      p("height", k_int),        p("bold", k_int),         p("face_count", k_int),
                      p("zero", k_int),          p("non_japanese", k_int), p("advance", k_int),
                      p("char_height", k_int),   p("unused16", k_int),     p("character", k_str),
                      p("output", k_int)};

  // 73 save, 44 load: file name, memory slot, VAL_ID, the variable (a text
  // parameter, so text variables are referenced as readily as numbers; the
  // binder records the element or the whole array named), the layer path.
  for (int n : {44, 73})
    t[n].parameters = {p("file", k_str), p("slot", k_int), p("val_id", k_int, 16), p("variable", k_str),
                       p("layer", k_str)};

  // 1 layer: parameters by their designed numbers (parameter n is id n - 1);
  // 11..23, 46 and 51 are not read. The blend mode is checked to 0..18.
  {
    std::vector<compiled_parameter>& ps = t[1].parameters;
    ps = {p("path", k_str),       p("visible", k_int),     p("alpha", k_int),  p("x", k_int),
          p("y", k_int),          p("priority", k_int),    p("monochrome", k_int), p("tone", k_int),
          p("width", k_int),      p("height", k_int)};
    numbered(ps, "unused", 11, 23, k_int);
    for (const char* n : {"texture_number", "make_texture", "scene_layer", "draw_now", "gpu_value1", "gpu_value2",
                          "scale_x", "scale_y", "angle1", "angle2", "angle3", "gpu_value3", "gpu_value4",
                          "gpu_monochrome", "gpu_tone", "gpu_byte"})
      ps.push_back(p(n, k_int));
    ps.push_back(p("second_source", k_str));
    ps.push_back(p("gpu_level", k_int));
    ps.push_back(p("gpu_flag", k_int));
    ps.push_back(p("file", k_str));
    ps.push_back(p("share", k_str));
    ps.push_back(p("mask_layer", k_str));
    ps.push_back(p("unused46", k_int));
    ps.push_back(p("rule_progress", k_int));
    ps.push_back(p("mask_path", k_str));
    ps.push_back(p("vagueness", k_int));
    ps.push_back(p("blend", k_int, 11));
    ps.push_back(p("unused51", k_int));
    ps.push_back(p("tag1", k_int));
    ps.push_back(p("tag2", k_int));
  }
  // 2 picture command: parameters by their designed numbers (parameter n is
  // id n - 1). 5 is not read; value and value2 are raw (the handler evaluates
  // them); 21..66 select the operation.
  {
    std::vector<compiled_parameter>& ps = t[2].parameters;
    ps = {p("path", k_str),     p("second", k_str),  p("third", k_str),  p("fourth", k_str),
          p("unused5", k_int),  p("value", k_raw),   p("value2", k_raw), p("text", k_str),
          p("x1", k_int),       p("y1", k_int),      p("x2", k_int),     p("y2", k_int),
          p("width", k_int),    p("height", k_int),  p("x1_100", k_int), p("y1_100", k_int),
          p("x2_100", k_int),   p("y2_100", k_int),  p("width_100", k_int), p("height_100", k_int)};
    switches(ps, {"resize_nearest", "resize_bilinear", "resize_bicubic", "resize_smooth", "resize_lanczos",
                  "rotate", "rotate_bilinear", "monochrome", "tone", "sepia", "alpha_copy", "faded_copy", "mix",
                  "touch", "difference_copy", "common_copy", "trim", "canvas", "brightness", "threshold", "flip",
                  "mirror", "mosaic", "blur", "horizontal_blur", "vertical_blur", "box_blur", "shadow",
                  "box_shadow", "shuffle", "horizontal_wave", "vertical_wave", "wave", "negative", "fill_colour",
                  "fill_alpha", "fill", "swirl", "font_slot", "draw_text", "copy_attributes", "copy", "swap",
                  "swap_attributes", "refresh_textures", "capture"});
  }
  // 3 layer delete: the path (a trailing "/" names a group).
  t[3].parameters = {p("path", k_str)};
  // 4 layer information: the path, one switch per answer, the position of a
  // child, the output variable and a point.
  t[4].parameters = {p("path", k_str)};
  switches(t[4].parameters, {"exists", "visible", "alpha", "x", "y", "priority", "unused8", "rule_progress",
                             "mask_path", "vagueness", "blend", "width", "height", "window_colour",
                             "window_alpha", "window_pixel", "colour_at", "bounds", "tag1", "tag2", "search",
                             "child_count", "child_name", "child_group", "position", "output", "px", "py"});

  // 60 movie play: the file, the play switch, the rectangle, the volume;
  // 61 movie close: nothing; 62 movie status: one switch per value, the file
  // whose MPEG kind is wanted, the output variable.
  t[60].parameters = {p("file", k_str), p("play", k_int),   p("x", k_int),
                      p("y", k_int),    p("width", k_int),  p("height", k_int), p("volume", k_int)};
  t[62].parameters = {p("playing", k_int), p("x", k_int),      p("y", k_int),    p("width", k_int),
                      p("height", k_int),  p("volume", k_int), p("file", k_str), p("output", k_int)};

  // 76 sound: the path, then the settings in the order the handler applies
  // them (pan and frequency 0..512).
  t[76].parameters = {p("name", k_str),       p("enabled", k_int),   p("file", k_str),
                      p("play", k_int),       p("pause", k_int),     p("fade_time", k_int),
                      p("start", k_int),      p("loop_start", k_int), p("loop_end", k_int),
                      p("loop_count", k_int), p("volume", k_int),    p("pan", k_int, 14),
                      p("frequency", k_int, 14), p("synchronise", k_int)};
  // 77 sound delete: the path.
  t[77].parameters = {p("name", k_str)};
  // 78 sound query: the path, one switch per answer, the output variable.
  t[78].parameters = {p("name", k_str)};
  switches(t[78].parameters, {"loaded", "enabled", "playing", "paused", "volume", "pan", "frequency", "file",
                              "codec", "start", "loop_start", "loop_end", "loop_count", "passes", "position",
                              "length", "channels", "bits", "rate", "peak", "peak2", "data_form"});
  t[78].parameters.push_back(p("output", k_int));

  // 85 message window settings: the layer, the open switch, advance and skip
  // keys, the character delay, then switches appending control steps, the
  // reset and the three message-end switches.
  t[85].parameters = {p("layer", k_str)};
  switches(t[85].parameters, {"open", "advance1", "advance2", "advance3", "advance4", "skip1", "skip2", "skip3",
                              "skip4", "delay", "new_line", "new_page", "new_line_lower", "new_page_lower",
                              "click_wait", "reset", "end_new_line", "end_new_page", "end_click_wait"});
  // 86 message window query: one switch per value, the output variable.
  t[86].parameters = {p("layer", k_str)};
  switches(t[86].parameters, {"open", "pen_x", "pen_y", "waiting", "end_new_line", "end_new_page",
                              "end_click_wait", "output"});
  // 95 text: the literal text; 99 text value: an expression written by its kind.
  t[95].parameters = {p("text", k_str)};
  t[99].parameters = {p("value", k_raw)};

  // 96 image set: the layer, the set file, the picture number; 97 release;
  // 98 query: the output variable and one switch per value.
  t[96].parameters = {p("layer", k_str), p("file", k_str), p("number", k_int)};
  t[98].parameters = {p("output", k_int)};
  switches(t[98].parameters, {"count", "value1", "value2", "value3"});

  // 12 quit: the restart byte.
  t[12].parameters = {p("restart", k_int)};
  // 92 window set: the window (0..3), then every setting by its id.
  t[92].parameters = {p("window", k_int, 5), p("title", k_str)};
  switches(t[92].parameters, {"alpha", "visible", "x", "y", "stacking", "width", "height", "display_width",
                              "display_height", "foreground", "sizing_border", "fullscreen", "minimise",
                              "maximise", "maximise_allowed", "minimise_allowed", "close_mode", "flash_count",
                              "flash_interval"});
  for (const char* n : {"layer", "menu", "shape", "drag_layer"}) t[92].parameters.push_back(p(n, k_str));
  t[92].parameters.push_back(p("resizable", k_int));
  // 93 window hide: the sub window.
  t[93].parameters = {p("window", k_int)};
  // 94 window query: the window, the output, one switch per value (9 unused).
  t[94].parameters = {p("window", k_int, 5), p("output", k_int)};
  switches(t[94].parameters, {"exists", "alpha", "visible", "active", "title", "left", "top", "unused9",
                              "logical_width", "logical_height", "client_width", "client_height", "monitor",
                              "fullscreen", "maximised", "minimised"});
  // 5, 6 clipboard: the switch and the text, or the output element.
  t[5].parameters = {p("switch", k_int), p("text", k_str)};
  t[6].parameters = {p("switch", k_int), p("output", k_int)};
  // 7 text lines: the resource and the string array; 8 its field count.
  t[7].parameters = {p("file", k_str), p("output", k_int)};
  t[8].parameters = {p("file", k_str), p("switch", k_int), p("output", k_int)};
  // 10 message box: parameters by their numbers (n is id n - 1).
  t[10].parameters = {p("caption", k_str), p("text", k_str)};
  numbered(t[10].parameters, "unused", 3, 9, k_int);
  t[10].parameters.push_back(p("default_text", k_str));
  switches(t[10].parameters, {"text_output", "result", "unused13", "ok_cancel", "yes_no", "yes_no_cancel", "input",
                              "limit", "default_button", "icon", "disabled"});
  // 19 file operations.
  t[19].parameters = {p("path", k_str), p("destination", k_str), p("folder", k_str)};
  switches(t[19].parameters, {"create", "copy", "delete", "start", "start_wait"});
  t[19].parameters.push_back(p("parameters", k_str));
  t[19].parameters.push_back(p("level", k_int));
  t[19].parameters.push_back(p("layer", k_str));
  switches(t[19].parameters, {"bmp", "png", "jpeg", "preload_picture", "preload_sound"});
  // 20 existence tests: the name by its kind, the answer, the output.
  t[20].parameters = {p("folder", k_str), p("file", k_str), p("picture", k_str), p("sound", k_str)};
  switches(t[20].parameters, {"exists", "size", "program", "output"});
  // 103 system call: the function, the output, four integers, the two texts
  // at 23 and 24.
  t[103].parameters = {p("function", k_int), p("output", k_int)};
  numbered(t[103].parameters, "i", 1, 4, k_int);
  numbered(t[103].parameters, "unused", 7, 22, k_int);
  t[103].parameters.push_back(p("text1", k_str));
  t[103].parameters.push_back(p("text2", k_str));

  // 91 wait: frames or milliseconds.
  t[91].parameters = {p("frames", k_int), p("milliseconds", k_int)};
  // Parameters that name a variable: every output, and the variables that
  // the save, load, array and variable commands read or fill.
  for (compiled_command& c : t)
    for (compiled_parameter& q : c.parameters)
      if (q.name == "output") q.takes_variable = true;
  auto mark = [&](int n, std::initializer_list<const char*> names) {
    for (compiled_parameter& q : t[n].parameters)
      for (const char* name : names)
        if (q.name == name) q.takes_variable = true;
  };
  mark(44, {"variable"});
  mark(73, {"variable"});
  mark(51, {"integers", "reals"});
  mark(89, {"source", "destination"});
  mark(90, {"variable"});
  return t;
}

}  // namespace

const std::vector<compiled_command>& canonical_commands() {
  static const std::vector<compiled_command> table = build();
  return table;
}

compiled_command_file canonical_command_file() {
  compiled_command_file f;
  f.commands = canonical_commands();
  f.errno_texts = default_errno_texts();
  return f;
}
