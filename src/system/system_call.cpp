#include "system/system_call.h"

#include "system/registry_store.h"

#include <algorithm>
#include <vector>

#include "core/error_report.h"
#include "core/info_log.h"
#include "core/sjis.h"
#include "platform/platform.h"
#include "script/argument_binding.h"
#include "core/play_time.h"
#include "script/variable_store.h"
#include "system/debug_log.h"
#include "system/file_commands.h"
#include "system/file_list.h"
#include "system/system_dialogs.h"
#include "system/text_commands.h"

namespace {

// A key path of the registry store: the root, then the script's path with
// '/' turned into '\\'.
std::string registry_key_under(const char* root, const std::string& path) {
  std::string key = path;
  for (size_t i = 0; i < key.size(); i += sjis_char_length(key, i))
    if (key[i] == '/') key[i] = '\\';
  return root + key;
}

constexpr int command_number = 103;

constexpr uint32_t param(int n) { return static_cast<uint32_t>(n - 1); }
bool given(int n) { return parameter_given(param(n)); }

// A text argument in its buffer: cut at the last whole character that fits.
std::string text_in_buffer(int n, size_t buffer_size) {
  std::string s = given(n) ? parameter_text(param(n)) : "";
  size_t p = 0;
  while (p < s.size()) {
    size_t next = sjis_next(s, p);
    if (next > buffer_size - 1 || next > s.size()) break;
    p = next;
  }
  s.resize(p);
  return s;
}

std::string as_path(std::string s) {
  replace_sjis_char(s, '/', '\\');
  return s;
}

bool ascii_less_nocase(const std::string& a, const std::string& b) {
  std::string x = a, y = b;
  lower_path_sjis(x);
  lower_path_sjis(y);
  return x != y ? x < y : a < b;
}

bool ends_with_nocase(const std::string& s, const std::string& tail) {
  std::string a = s, b = tail;
  lower_path_sjis(a);
  lower_path_sjis(b);
  return a.size() >= b.size() && a.compare(a.size() - b.size(), b.size(), b) == 0;
}

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
void store_number(int64_t v) {
  output_place o = output_of(2);
  if (o.variable) set_numeric_element(o.variable, o.element, v);
}
void store_text(const std::string& text) {
  output_place o = output_of(2);
  if (o.variable) set_string_element_n(o.variable, o.element, text.data(), text.size());
}

// Sub-function 34: a drive letter ("C:\") means the disk that holds the game.
uint64_t free_space_for(const std::string& path) {
  std::string game_path;
  HostFiles* files = platform().files;
  if (!files->script_path(path, game_path)) game_path.clear();
  uint64_t bytes = 0;
  if (!files->free_space(game_path, &bytes)) return 0;
  return bytes;
}

void write_text_file(const std::string& file, const std::string& text) {
  std::string game_path;
  if (!script_game_path(file, game_path, "write") || !contained_for("write", game_path)) return;
  std::string bytes = text + "\r\n";
  platform().files->replace_file(game_path, bytes.data(), bytes.size());
}

void copy_resource_to_file(const std::string& resource, const std::string& file) {
  std::vector<uint8_t> bytes;
  if (read_text_resource(resource, bytes) != 0) return;
  std::string game_path;
  if (!script_game_path(file, game_path, "write") || !contained_for("write", game_path)) return;
  platform().files->replace_file(game_path, bytes.data(), bytes.size());
}

}  // namespace

const char* system_folder_path() { return "/usr/share"; }

void list_folder_into_file_list(const std::string& folder, const std::string& extension, bool with_folders) {
  std::vector<std::string> names;
  std::string game_path;
  if (script_game_path(folder, game_path, "list folder")) {
    std::vector<host_folder_entry> entries = platform().files->list_folder(game_path);
    std::sort(entries.begin(), entries.end(),
              [](const host_folder_entry& a, const host_folder_entry& b) { return ascii_less_nocase(a.name, b.name); });
    const std::string tail = "." + extension;
    for (const host_folder_entry& e : entries) {
      std::string name = e.name;
      if (e.is_folder) {
        if (!with_folders) continue;
        name += '/';
      } else if (!extension.empty() && !ends_with_nocase(name, tail)) {
        continue;
      }
      // A name too long for an entry would name another file once cut.
      if (name.size() + 1 > file_list_entry_size) continue;
      names.push_back(std::move(name));
      if (names.size() >= file_list_max) {
        show_message_box("", utf8_to_sjis("リストが %d 個に達しました. 取得を中断します。"),
                         static_cast<int64_t>(file_list_max));
        break;
      }
    }
  }
  clear_file_list();
  for (const std::string& n : names) add_file_list_entry(n);
}

int cmd_system_call() {
  if (bind_command_arguments(command_number) != 0) return -1;
  const int64_t number = parameter_int(param(1));
  if (number < 0 || number > 0xFFFFFFFFll) return 0;  // a nonzero upper half matches nothing
  const std::string text1 = text_in_buffer(23, system_call_text1_size);
  const std::string text2 = text_in_buffer(24, system_call_text2_size);
  int64_t a[4] = {0, 0, 0, 0};
  if (given(3))
    for (int i = 0; i < 4; ++i) a[i] = parameter_int(param(3 + i));
  Ui* ui = platform().ui;

  switch (number) {
    case 1: store_number(502); break;
    case 10:
    case 30:
    case 31: {
      std::string t = "COM:" + std::to_string(number) + " Deleted.";
      ui->message_box("", t, mb_ok | mb_system_modal);
      break;
    }
    case 12: {
      std::string resource = as_path(text1);
      lower_path_sjis(resource);
      copy_resource_to_file(resource, as_path(text2));
      break;
    }
    case 15: write_text_file(as_path(text1), text2); break;
    case 21: list_folder_into_file_list(as_path(text1), text2, a[0] != 0); break;
    case 32:
      if (!platform().files->set_script_folder(as_path(text1)))
        write_info_log("ERR", "current folder not changed: [%s]", text1);
      break;
    case 33: {
      // The user's key: the value, and when that went, the key itself.
      const std::string key = registry_key_under("HKEY_CURRENT_USER\\", text1);
      if (registry_delete_value(key, text2)) registry_delete_key(key);
      break;
    }
    case 36: registry_delete_value(registry_key_under("HKEY_LOCAL_MACHINE\\", text1), text2); break;
    case 37: registry_delete_key(registry_key_under("HKEY_LOCAL_MACHINE\\", text1)); break;
    case 34: store_number(static_cast<int64_t>(free_space_for(as_path(text1)))); break;
    case 38: store_number(platform().process->is_administrator() ? 1 : 0); break;
    case 41: run_notice_box(utf8_to_sjis("確認"), utf8_to_sjis("クイックセーブしました。"), 10); break;
    case 51: delete_debug_log(); break;
    case 52: append_debug_log(text1); break;
    case 90: ui->invalidate(0); break;
    case 100: ui->show_window(0, false); break;
    case 110: ui->show_window(0, true); break;
    case 120: open_url(text1); break;
    case 10102:
      create_edit_box(text1, static_cast<int>(a[0]), static_cast<int>(a[1]), static_cast<int>(a[2]),
                      static_cast<int>(a[3]));
      break;
    case 10103: close_edit_box(); break;
    case 10104: set_edit_box_text(text1); break;
    case 10105: store_text(edit_box_text()); break;
    case 10201: {
      std::string entered;
      int r = run_input_box("", "", text1, edit_box_limit, true, entered);
      if (r < 0) return -1;
      system_dialogs.entered_result = static_cast<uint8_t>(r);
      if (r == 1) system_dialogs.entered_text = entered;
      store_number(r);
      break;
    }
    case 10205: store_text(system_dialogs.entered_text); break;
    case 20005: set_edit_box_focus(true); break;
    case 20006: set_edit_box_focus(false); break;
    case 20011: system_dialogs.focus_resume = 1; break;
    case 20012: system_dialogs.focus_resume = 0; break;
    case 20013: hold_play_time(play_time_hold_explicit, platform().clock->tick_ms()); break;
    case 20014: release_play_time(play_time_hold_explicit, platform().clock->tick_ms()); break;
    case 20021: store_number(0); break;
    case 21000: {
      std::string initial, chosen, game_path;
      if (platform().files->script_path(as_path(text1), game_path)) initial = utf8_to_sjis(platform().files->host_path(game_path));
      if (!ui->browse_for_folder(initial, text2, chosen)) chosen.clear();
      store_text(chosen);
      break;
    }
    case 21031: store_text(system_folder_path()); break;
    default: break;  // 81 and unknown numbers: nothing
  }
  return 0;
}
