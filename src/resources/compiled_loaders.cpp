#include "resources/compiled_loaders.h"

#include <algorithm>

#include "core/error_report.h"
#include "core/engine_config.h"
#include "resources/resource_locator.h"

variable_count_record variable_counts;
script_name_list_record script_name_list;
label_table_record label_table;
std::vector<uint8_t> initial_variable_image;

namespace {

constexpr char config_file[] = "kxbin\\kxcfg.kbn";
constexpr char variable_file[] = "kxbin\\kxt.kbn";
constexpr char script_list_file[] = "kxbin\\kxt_list.kbn";
constexpr char label_file[] = "kxbin\\kxl.kbn";
constexpr char variable_image_file[] = "kxbin\\kxv.kbn";
constexpr char error_text_file[] = "kxbin\\kxe.kbn";

// The smallest of 256, 512, 1024, 2048 not below `size`, else 4096.
uint32_t texture_work_size(uint32_t size) {
  for (uint32_t s : {256u, 512u, 1024u, 2048u})
    if (size <= s) return s;
  return 4096;
}

// A parse failure of a file: truncation names the file (104010), the other
// codes stand alone.
int report_parse_failure(int code, const char* name) {
  if (code == compiled_truncated)
    report_error_fmt(compiled_truncated, 1, name);
  else
    report_error(code, 1);
  return code;
}

}  // namespace

void reset_compiled_tables() {
  variable_counts = variable_count_record{};
  script_name_list = script_name_list_record{};
  label_table = label_table_record{};
  initial_variable_image.clear();
  error_table = error_table_record{};
}

int load_compiled_file(std::string_view name, std::vector<uint8_t>& out) {
  resource_locator locator;
  int r = locate_resource(locator, name, false);
  if (r == 0) {
    report_error_fmt(104060, 1, std::string(name));
    return -1;
  }
  if (r < 0) {
    report_error_fmt(901040, 1, std::string(name));
    return -1;
  }
  if (read_located_resource(locator, name) != 0) return -1;
  out = std::move(locator.data);
  return 0;
}

int install_engine_config(const uint8_t* data, size_t size) {
  compiled_engine_config c;
  int r = parse_engine_config_file(data, size, c);
  if (r != compiled_ok) return report_parse_failure(r, config_file);
  engine_config_record e = engine_config;
  if (c.main_width == 0 && c.main_height == 0) {
    e.uses_desktop_size = 1;
    e.main_width = e.desktop_width;
    e.main_height = e.desktop_height;
  } else if (c.main_width < 128 || c.main_width > 8192 || c.main_height < 16 || c.main_height > 8192) {
    report_error(901020, 1);
    return 901020;
  } else {
    e.uses_desktop_size = 0;
    e.main_width = c.main_width;
    e.main_height = c.main_height;
  }
  e.main_window_kind = c.main_window_kind;
  std::copy(c.image_order.begin(), c.image_order.end(), e.image_extension_order);
  std::copy(c.sound_order.begin(), c.sound_order.end(), e.sound_extension_order);
  e.frame_thread_mode = static_cast<uint8_t>(c.frame_thread_mode);
  e.debug_switch = static_cast<uint8_t>(c.debug_switch);
  e.sound_on = static_cast<uint8_t>(c.sound_on);
  e.keep_thick_frame = static_cast<uint8_t>(c.keep_thick_frame);
  e.main_window_style = static_cast<uint8_t>(c.main_window_style);
  e.kept_flag = static_cast<uint8_t>(c.kept_flag);
  e.dev_loose_first = static_cast<uint8_t>(c.dev_loose_first);
  e.release_loose_first = static_cast<uint8_t>(c.release_loose_first);
  if (c.title.size() >= 129) {
    report_error(901000, 1);
    return 901000;
  }
  e.title = c.title.empty() ? std::string(" ") : c.title;
  if (c.frame_thread_mode > 1) {
    report_error(901020, 1);
    return 901020;
  }
  if (e.texture_work_width == 0) e.texture_work_width = texture_work_size(e.main_width);
  if (e.texture_work_height == 0) e.texture_work_height = texture_work_size(e.main_height);
  engine_config = std::move(e);
  return 0;
}

int load_engine_config() {
  std::vector<uint8_t> bytes;
  if (load_compiled_file(config_file, bytes) != 0) return -1;
  return install_engine_config(bytes.data(), bytes.size());
}

int install_error_texts(const uint8_t* data, size_t size) {
  std::vector<compiled_error_text> texts;
  int r = parse_error_text_file(data, size, texts, 256);
  if (r != compiled_ok) return report_parse_failure(r, error_text_file);
  error_table_record t;
  t.codes.reserve(texts.size());
  t.texts.reserve(texts.size());
  for (compiled_error_text& e : texts) {
    t.codes.push_back(e.code);
    t.texts.push_back(std::move(e.text));
  }
  error_table = std::move(t);
  return 0;
}

int load_error_texts() {
  std::vector<uint8_t> bytes;
  if (load_compiled_file(error_text_file, bytes) != 0) return -1;
  return install_error_texts(bytes.data(), bytes.size());
}

int install_variable_counts(const uint8_t* data, size_t size) {
  compiled_variable_counts c;
  int r = parse_variable_count_file(data, size, c);
  if (r != compiled_ok) return report_parse_failure(r, variable_file);
  variable_counts.variable_count = c.variable_count;
  variable_counts.system_value_114 = c.system_value_114;
  variable_counts.loaded = 1;
  return 0;
}

int load_variable_table() {
  std::vector<uint8_t> bytes;
  if (load_compiled_file(variable_file, bytes) != 0) return -1;
  return install_variable_counts(bytes.data(), bytes.size());
}

int install_script_name_list(const uint8_t* data, size_t size) {
  uint32_t count = 0;
  std::vector<compiled_script_record> records;
  int r = parse_script_list_file(data, size, count, records);
  if (r != compiled_ok) return report_parse_failure(r, script_list_file);
  script_name_list_record list;
  list.script_count = count;
  // A script number that no record names (a repeated number leaves one out)
  // keeps an empty name rather than nothing.
  list.names.assign(count, std::string());
  list.entry_values.reserve(records.size());
  for (compiled_script_record& s : records) {
    if (s.script_number >= count) {
      report_error_fmt(compiled_script_out_of_range, 1, s.script_number);
      return compiled_script_out_of_range;
    }
    list.names[s.script_number] = std::move(s.source_name);
    list.entry_values.push_back(s.entry_value);
  }
  script_name_list = std::move(list);
  return 0;
}

int load_script_name_list() {
  std::vector<uint8_t> bytes;
  if (load_compiled_file(script_list_file, bytes) != 0) return -1;
  return install_script_name_list(bytes.data(), bytes.size());
}

int install_label_table(const uint8_t* data, size_t size) {
  compiled_label_file f;
  int r = parse_label_file(data, size, f);
  if (r != compiled_ok) return report_parse_failure(r, label_file);
  label_table.labels = std::move(f.labels);
  label_table.buckets = f.buckets;
  return 0;
}

int load_label_table() {
  std::vector<uint8_t> bytes;
  if (load_compiled_file(label_file, bytes) != 0) return -1;
  return install_label_table(bytes.data(), bytes.size());
}

int load_variable_image() {
  std::vector<uint8_t> bytes;
  if (load_compiled_file(variable_image_file, bytes) != 0) return -1;
  initial_variable_image = std::move(bytes);
  return 0;
}
