#include "system/file_commands.h"

#include "image/picture_writers.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/info_log.h"
#include "core/sjis.h"
#include "graphics/layer_commands.h"
#include "graphics/layer_record.h"
#include "platform/platform.h"
#include "resources/resource_locator.h"
#include "script/argument_binding.h"
#include "script/variable_store.h"
#include "system/system_dialogs.h"

namespace {

constexpr int command_file = 19;
constexpr int command_exists = 20;

constexpr uint32_t param(int n) { return static_cast<uint32_t>(n - 1); }
bool given(int n) { return parameter_given(param(n)); }
int64_t value(int n) { return parameter_int(param(n)); }

// Path arguments: lower-cased (Shift-JIS aware), '/' turned into '\'.
std::string path_argument(int n) {
  std::string s = parameter_text(param(n));
  lower_path_sjis(s);
  replace_sjis_char(s, '/', '\\');
  return s;
}

bool ends_with_nocase(const std::string& s, const char* tail) {
  std::string a = s, b = tail;
  lower_path_sjis(a);
  lower_path_sjis(b);
  return a.size() >= b.size() && a.compare(a.size() - b.size(), b.size(), b) == 0;
}

// "a//b" as "a/b": argv shows what a user would type.
std::string tidy_host_path(std::string p) {
  std::string out;
  for (char c : p)
    if (!(c == '/' && !out.empty() && out.back() == '/')) out += c;
  return out;
}

// The desktop's default action for a file or folder.
std::vector<std::string> opener_argv(const std::string& game_path) {
  return {"xdg-open", tidy_host_path(platform().files->host_path(game_path))};
}

bool ends_with_separator(const std::string& s) {
  // The last character, not a trail byte that happens to be 0x5C.
  size_t last = std::string::npos;
  for (size_t p = 0; p < s.size(); p = sjis_next(s, p)) last = p;
  return last != std::string::npos && sjis_char_length(s, last) == 1 && (s[last] == '\\' || s[last] == '/');
}

// The output element of an argument.
struct output_place {
  uint32_t variable = 0;
  int64_t element = -1;
};
output_place output_of(int n) {
  output_place o;
  uint32_t pos = argument_position(param(n));
  if (!pos) return o;
  o.variable = argument_slots.variable_id[pos];
  o.element = argument_slots.element_index[pos];
  return o;
}

}  // namespace

bool script_game_path(const std::string& script_path, std::string& game_path, const char* operation) {
  if (platform().files->script_path(script_path, game_path)) return true;
  write_info_log("ERR", "%s refused: [%s] is not a path of this system", operation, script_path);
  return false;
}

bool contained_for(const char* operation, const std::string& game_path) {
  if (platform().files->write_allowed(game_path)) return true;
  write_info_log("ERR", "%s refused: [%s] lies outside the game's folders", operation, game_path);
  return false;
}

std::vector<std::string> split_parameters(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  bool quoted = false, any = false;
  for (size_t p = 0; p < text.size();) {
    size_t n = sjis_char_length(text, p);
    char c = text[p];
    if (n == 1 && c == '"') {
      quoted = !quoted;
      any = true;
    } else if (n == 1 && !quoted && (c == ' ' || c == '\t')) {
      if (any) out.push_back(sjis_to_utf8(cur));
      cur.clear();
      any = false;
    } else {
      cur.append(text, p, n);
      any = true;
    }
    p += n;
  }
  if (any) out.push_back(sjis_to_utf8(cur));
  return out;
}

bool is_web_address(const std::string& text) {
  std::string lower = text;
  lower_path_sjis(lower);
  for (const char* scheme : {"http://", "https://", "mailto:"})
    if (lower.rfind(scheme, 0) == 0) return true;
  return false;
}

bool runs_when_opened(const std::string& game_path) {
  HostFiles* files = platform().files;
  if (files->kind(game_path) != host_entry_kind::file) return false;
  // Launchers the desktop runs, or hands to an interpreter, when opened.
  for (const char* tail : {".desktop", ".exe", ".com", ".bat", ".cmd", ".msi", ".jar", ".appimage"})
    if (ends_with_nocase(game_path, tail)) return true;
  uint8_t head[4] = {};
  auto file = files->open_read(game_path);
  if (!file) return true;  // what cannot be looked at is not handed on
  if (!file->read_at(0, head, std::min<uint64_t>(file->size(), sizeof head))) return true;
  return std::memcmp(head, "\x7f" "ELF", 4) == 0 || std::memcmp(head, "#!", 2) == 0 || std::memcmp(head, "MZ", 2) == 0;
}

namespace {

bool refuse_start(const char* operation, const std::string& game_path) {
  write_info_log("ERR", "%s refused: [%s] would run as a program from the game's writable folders", operation, game_path);
  return false;
}

}  // namespace

bool open_url(const std::string& text) {
  if (is_web_address(text)) return platform().process->spawn({"xdg-open", sjis_to_utf8(text)});
  // A document the game ships (a manual): opened by the desktop, never run.
  HostFiles* files = platform().files;
  std::string game_path;
  if (!files->script_path(text, game_path) || files->kind(game_path) != host_entry_kind::file ||
      !files->in_game_folder(game_path)) {
    write_info_log("ERR", "open refused: [%s] is neither a web address nor a document of the game", text);
    return false;
  }
  if (files->is_executable(game_path) || runs_when_opened(game_path)) return refuse_start("open", game_path);
  return platform().process->spawn(opener_argv(game_path));
}

bool start_script_program(const std::string& file, const std::string& parameters, bool wait) {
  std::string game_path;
  if (!script_game_path(file, game_path, "start")) return false;
  HostFiles* files = platform().files;
  if (files->kind(game_path) == host_entry_kind::missing) {
    write_info_log("ERR", "start failed: [%s] does not exist", game_path);
    return false;
  }
  if (!contained_for("start", game_path)) return false;
  std::vector<std::string> argv;
  if (files->is_executable(game_path)) {
    // Scripts never make an execute bit: this is a program the game shipped.
    argv.push_back(tidy_host_path(files->host_path(game_path)));
    for (std::string& a : split_parameters(parameters)) argv.push_back(std::move(a));
  } else if (runs_when_opened(game_path)) {
    // Written or copied by a script (an ELF file, a "#!" script, a launcher):
    // the desktop's opener would run it.
    return refuse_start("start", game_path);
  } else {
    // A document or a folder: the desktop's default action.
    argv = opener_argv(game_path);
  }
  Process* process = platform().process;
  if (!wait) return process->spawn(argv);
  int64_t child = process->start_child(argv);
  if (!child) return false;
  // The script waits; the window keeps painting and can be closed. Waiting
  // for another program takes real time, whatever the engine's clock does.
  for (;;) {
    int exit_code = 0;
    if (process->poll_child(child, &exit_code) != 0) break;
    if (!modal_wait_step(0)) {
      process->release_child(child);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool create_folder_path(const std::string& script_path) {
  std::string game_path;
  if (!script_game_path(script_path, game_path, "create folder")) return false;
  if (!contained_for("create folder", game_path)) return false;
  return platform().files->make_folder(game_path);
}

int write_layer_picture(cg_record* picture, const std::string& game_path, int format, int level) {
  if (!picture || !picture->pixels) return -1;
  int rc;
  if (format == picture_format_bmp)
    rc = save_cg_bmp(picture, game_path);
  else if (format == picture_format_png)
    rc = save_cg_png(picture, game_path, level);
  else
    rc = save_cg_jpeg(picture, game_path, level);
  return rc < 0 ? -1 : 0;  // the writers have said why
}

int cmd_file_operation() {
  if (bind_command_arguments(command_file) != 0) return -1;
  const std::string file = given(1) ? path_argument(1) : std::string();
  const std::string second = given(2) ? path_argument(2) : std::string();
  std::string folder = given(3) ? path_argument(3) : std::string();
  if (given(3) && !ends_with_separator(folder)) folder += '\\';

  // Preloads: picture (15), then sound (16), into memory-cache group n - 1.
  for (int n : {15, 16}) {
    if (!given(n)) continue;
    int64_t group = value(n);
    if (group < 1 || group > 4) continue;
    std::string name = file;
    if (preload_resource(static_cast<int>(group - 1), name, n == 15 ? resource_kind_image : resource_kind_sound) != 0)
      return -1;
  }

  if (given(11)) {
    std::string resolved;
    object_node* node = find_named_layer(parameter_text(param(11)), resolved, command_file);
    if (!node) return -1;
    int format = picture_format_png;
    if (given(12)) format = value(12) == 1 ? picture_format_bmp : picture_format_png;
    if (given(13) && value(13) == 1) format = picture_format_png;
    if (given(14) && value(14) == 1) format = picture_format_jpeg;
    std::string name = file;
    int level = 0;
    if (format == picture_format_bmp) {
      if (!ends_with_nocase(name, ".bmp")) name += ".bmp";
    } else if (format == picture_format_png) {
      level = given(10) ? static_cast<int>(std::clamp<int64_t>(value(10), 0, 9)) : 5;
      if (!ends_with_nocase(name, ".png")) name += ".png";
    } else {
      level = given(10) ? static_cast<int>(std::clamp<int64_t>(value(10), 1, 100)) : 90;
      if (!ends_with_nocase(name, ".jpg")) name += ".jpg";
    }
    std::string game_path;
    if (!script_game_path(name, game_path, "write picture") || !contained_for("write picture", game_path)) return -1;
    if (write_layer_picture(layer_record(node), game_path, format, level) != 0) return -1;
  }

  HostFiles* files = platform().files;
  if (given(4) && given(3)) create_folder_path(folder);
  if (given(5) && given(1) && given(2)) {
    std::string from, to;
    if (script_game_path(file, from, "copy") && script_game_path(second, to, "copy") && contained_for("copy", to))
      files->copy_file(from, to);
  }
  if (given(6)) {
    std::string game_path;
    if (given(1) && script_game_path(file, game_path, "delete") && contained_for("delete", game_path))
      files->remove_file(game_path);
    if (given(3) && script_game_path(folder, game_path, "delete") && contained_for("delete", game_path))
      files->remove_folder(game_path);
  }
  const std::string parameters = given(9) ? std::string(parameter_text(param(9))) : std::string();
  if ((given(7) || given(8)) && !file.empty()) {
    // An address is no path: it goes on as written, slashes and case kept.
    const std::string written = parameter_text(param(1));
    if (is_web_address(written))
      open_url(written);
    else
      start_script_program(file, parameters, !given(7));
  }
  return 0;
}

int cmd_file_exists() {
  if (bind_command_arguments(command_exists) != 0) return -1;
  int kind = 0;  // 1 folder, 2 file, 3 picture, 4 sound
  std::string name;
  for (int n = 1; n <= 4; ++n) {
    if (!given(n)) continue;
    kind = n;
    name = path_argument(n);
  }
  int answer = given(5) ? 5 : given(6) ? 6 : given(7) ? 7 : 0;
  if (!answer) return 0;
  const output_place out = output_of(8);
  auto store_number = [&](int64_t v) {
    if (out.variable) set_numeric_element(out.variable, out.element, v);
  };
  const variable_record* v = out.variable ? find_variable(out.variable) : nullptr;
  const bool text_output = v && v->type == variable_type_text;
  HostFiles* files = platform().files;
  std::string game_path;
  const bool have_path = kind && (kind == 1 || kind == 2) && files->script_path(name, game_path);

  if (answer == 5) {
    int64_t found = 0;
    if (kind == 1) {
      // The name is taken literally: '*' and '?' are characters, not patterns.
      found = have_path && files->kind(game_path) == host_entry_kind::folder;
    } else if (kind >= 2) {
      resource_locator locator;
      std::string resolved, in = name;
      int resource_kind = kind == 2 ? resource_kind_any : kind == 3 ? resource_kind_image : resource_kind_sound;
      found = resolve_resource_name(locator, resolved, in, resource_kind) == 0;
    }
    store_number(found);
  } else if (answer == 6) {
    uint64_t size = 0;
    if (kind == 2 && have_path && files->kind(game_path, &size) != host_entry_kind::file) size = 0;
    store_number(kind == 2 ? static_cast<int64_t>(size) : 0);
  } else {
    std::string program;
    // The program for a file is the file itself when it can run; documents
    // have none here.
    if (kind != 1 && kind != 0) {
      std::string gp;
      if (files->script_path(name, gp) && files->is_executable(gp)) program = name;
    }
    if (text_output)
      set_string_element(out.variable, out.element, kind == 1 ? "" : program.c_str());
    else
      store_number(0);
  }
  return 0;
}
