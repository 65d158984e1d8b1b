#include "system/text_commands.h"

#include "core/sjis.h"
#include "platform/platform.h"
#include "resources/compiled_loaders.h"
#include "resources/resource_locator.h"
#include "script/argument_binding.h"
#include "script/variable_store.h"
#include "system/csv_text.h"
#include "system/system_dialogs.h"

namespace {

constexpr uint32_t param(int n) { return static_cast<uint32_t>(n - 1); }
bool given(int n) { return parameter_given(param(n)); }
int64_t value(int n) { return parameter_int(param(n)); }

struct output_place {
  uint32_t variable = 0;
  int64_t element = -1;
};
output_place output_of(int n) {
  output_place o;
  if (uint32_t pos = argument_position(param(n))) {
    o.variable = argument_slots.variable_id[pos];
    o.element = argument_slots.element_index[pos];
  }
  return o;
}
void store_number(const output_place& o, int64_t v) {
  if (o.variable) set_numeric_element(o.variable, o.element, v);
}
void store_text(const output_place& o, const std::string& text) {
  if (o.variable) set_string_element_n(o.variable, o.element, text.data(), text.size());
}

}  // namespace

std::string clipboard_text_for_script(const std::string& sjis) {
  const size_t n = std::min(sjis.size(), clipboard_read_limit);
  std::string out;
  for (size_t i = 0; i < n;) {
    const uint8_t c = static_cast<uint8_t>(sjis[i]);
    if (is_sjis_lead(c)) {
      if (i + 1 >= n) break;  // its trail byte lies past the window
      out.append(sjis, i, 2);
      i += 2;
    } else {
      if (c >= 32) out += static_cast<char>(c);
      i += 1;
    }
  }
  return out;
}

int read_text_resource(const std::string& name, std::vector<uint8_t>& out) {
  std::string n = name;
  lower_path_sjis(n);
  replace_sjis_char(n, '/', '\\');
  return load_compiled_file(normalise_resource_name(n), out);
}

int cmd_set_clipboard_text() {
  if (bind_command_arguments(5) != 0) return -1;
  if (!given(1) || !given(2)) return 0;
  platform().ui->set_clipboard_text(parameter_text(param(2)));
  return 0;
}

int cmd_get_clipboard_text() {
  if (bind_command_arguments(6) != 0) return -1;
  if (!given(1)) return 0;
  std::string text;
  if (!platform().ui->clipboard_text(text)) return -1;
  store_text(output_of(2), clipboard_text_for_script(text));
  return 0;
}

int cmd_read_text_lines() {
  if (bind_command_arguments(7) != 0) return -1;
  if (!given(1) || !given(2)) return 0;
  std::vector<uint8_t> bytes;
  if (read_text_resource(parameter_text(param(1)), bytes) != 0) return -1;
  const output_place out = output_of(2);
  const variable_record* v = find_variable(out.variable);
  if (!v) return 0;
  const std::vector<std::string> fields = scan_text_fields(bytes.data(), bytes.size());
  for (size_t i = 0; i < fields.size() && i < v->element_count; ++i)
    if (set_string_element_n(out.variable, static_cast<int64_t>(i), fields[i].data(), fields[i].size()) != 0 &&
        v->type != variable_type_text)
      return -1;  // reported: not a string variable
  return 0;
}

int cmd_count_csv_fields() {
  if (bind_command_arguments(8) != 0) return -1;
  if (!given(1) || !given(2)) return 0;
  std::vector<uint8_t> bytes;
  if (read_text_resource(parameter_text(param(1)), bytes) != 0) return -1;
  store_number(output_of(3), count_csv_fields(bytes.data(), bytes.size()));
  return 0;
}

int cmd_message_box() {
  if (bind_command_arguments(10) != 0) return -1;
  if (given(21)) return 0;
  const std::string caption = given(1) ? parameter_text(param(1)) : "";
  const std::string text = given(2) ? parameter_text(param(2)) : "";
  Ui* ui = platform().ui;
  ui->set_cursor_visible(true);
  if (given(17)) {
    const int64_t limit = given(18) ? value(18) : 0;
    std::string entered;
    const std::string initial = given(10) ? parameter_text(param(10)) : "";
    int r = run_input_box(caption, text, initial, limit > 0 ? static_cast<size_t>(limit) : 0, false, entered);
    if (r < 0) return -1;
    if (given(12)) store_number(output_of(12), 1);
    if (given(11)) store_text(output_of(11), entered);
    return 0;
  }
  uint32_t buttons = mb_ok;
  if (given(16))
    buttons = mb_yes_no_cancel;
  else if (given(15))
    buttons = mb_yes_no;
  else if (given(14))
    buttons = mb_ok_cancel;
  uint32_t flags = buttons;
  if (given(19)) {
    if (value(19) == 2) flags |= mb_default_button2;
    if (value(19) == 3) flags |= mb_default_button3;
  }
  if (given(20)) {
    switch (value(20)) {
      case 1: flags |= mb_icon_information; break;
      case 2: flags |= mb_icon_question; break;
      case 3: flags |= mb_icon_warning; break;
      case 4: flags |= mb_icon_error; break;
      default: break;
    }
  }
  system_dialogs.message_box_open = 1;
  const int answer = ui->message_box(caption, text, flags);
  system_dialogs.message_box_open = 0;
  if (!given(12)) return 0;
  int64_t result = 0;
  if (buttons == mb_yes_no || buttons == mb_yes_no_cancel)
    result = answer == id_yes ? 1 : answer == id_no ? 2 : answer == id_cancel ? 3 : 0;
  else
    result = answer == id_ok ? 1 : answer == id_cancel ? 2 : 0;
  if (result) store_number(output_of(12), result);
  return 0;
}
