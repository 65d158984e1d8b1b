#include "support/headless_game.h"

#include <gtest/gtest.h>

#include <sstream>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/object_tree.h"
#include "core/sjis.h"
#include "format/pack_format.h"
#include "resources/compiled_loaders.h"
#include "resources/engine_config.h"
#include "resources/pack_archive.h"
#include "resources/resource_locator.h"
#include "resources/system_start.h"
#include "script/expression.h"
#include "script/scheduler.h"
#include "script/system_values.h"
#include "script/variable_store.h"

namespace {

std::vector<headless_game_error>& error_sink() {
  static std::vector<headless_game_error> errors;
  return errors;
}

void listen(int code, const std::string& text) { error_sink().push_back({code, text, sjis_to_utf8(text)}); }

uint64_t* running_frames = nullptr;
int64_t frame_counter_fact() { return running_frames ? static_cast<int64_t>(*running_frames) : 0; }

}  // namespace

headless_game::headless_game(const std::string& listing_utf8) {
  assembler_options options;
  options.code_key = derive_code_file_key();
  assembly_ = assemble_listing(utf8_to_sjis(listing_utf8), options);
  if (!assembly_.ok) {
    std::ostringstream s;
    for (const assembler_diagnostic& d : assembly_.errors) s << "line " << d.line << ": " << d.message << "\n";
    ADD_FAILURE() << "listing does not assemble:\n" << s.str();
  }
  for (const assembled_file& f : assembly_.files) files_[f.name] = f.bytes;
}

headless_game::~headless_game() {
  error_report_listener = nullptr;
  if (running_frames == &frames_) running_frames = nullptr;
  reset_scheduler();
  for (const auto& [slot, handler] : saved_handlers_) designed_command_handlers[slot] = handler;
  platform_.reset();
}

void headless_game::replace_compiled_file(const std::string& name, std::vector<uint8_t> bytes) {
  files_[name] = std::move(bytes);
}

void headless_game::remove_compiled_file(const std::string& name) { files_.erase(name); }

void headless_game::write_file(const std::string& relative, const std::vector<uint8_t>& bytes) {
  folder_.write(relative, bytes);
}

void headless_game::set_command_handler(int slot, command_handler handler) {
  if (slot < 0 || slot >= command_slot_count) return;
  if (!saved_handlers_.count(slot)) saved_handlers_[slot] = designed_command_handlers[slot];
  designed_command_handlers[slot] = handler;
}

int headless_game::start() {
  if (!assembly_.ok) return -1;
  std::vector<pack_writer_entry> entries;
  for (const auto& [name, bytes] : files_) {
    pack_writer_entry e;
    e.name = name;
    e.data = bytes;
    entries.push_back(std::move(e));
  }
  std::vector<uint8_t> pack;
  if (!build_pack(entries, pack)) {
    ADD_FAILURE() << "cannot build the game pack";
    return -1;
  }
  folder_.write("game.kpf", pack);

  platform_ = std::make_unique<HeadlessPlatform>(folder_.path());
  platform_->clock.set(start_time_);
  // A fresh engine: every table back at its start-up state.
  quit_flag = 0;
  error_dialog_shown = 0;
  error_sink().clear();
  error_report_listener = listen;
  reset_scheduler();
  reset_pack_tables();
  reset_resource_caches();
  reset_compiled_tables();
  pack_folder_prefix.clear();
  engine_config = engine_config_record{};
  install_expression_tables();
  install_scheduler();
  running_frames = &frames_;
  engine_facts.frame_counter = frame_counter_fact;
  started_ = true;

  build_name_length_table();
  if (open_pack_archives() != 0) return -1;
  if (load_engine_config() != 0) return -1;
  if (create_tree_roots() != 0) return -1;
  return system_start();
}

int headless_game::tick() {
  if (!started_) return 1;
  ++frames_;
  int r = run_script_passes();
  // Pacing at 60 frames a second in 16.16 ms steps, as the frame tick does.
  const uint32_t step = 65536000u / 60u;
  frame_remainder_ = (frame_remainder_ & 0xFFFF) + step;
  platform_->clock.advance(frame_remainder_ >> 16);
  return r;
}

int headless_game::run_ticks(int n) {
  int k = 0;
  while (k < n) {
    ++k;
    if (tick() != 0) break;
  }
  return k;
}

uint32_t headless_game::variable_id(const std::string& name) const {
  auto it = assembly_.variables.find(utf8_to_sjis(name));
  if (it == assembly_.variables.end()) {
    ADD_FAILURE() << "no variable " << name;
    return 0;
  }
  return it->second;
}

int64_t headless_game::int_value(const std::string& name, int64_t element) const {
  return get_int_element(variable_id(name), element);
}
double headless_game::real_value(const std::string& name, int64_t element) const {
  return get_real_element(variable_id(name), element);
}
std::string headless_game::text_value(const std::string& name, int64_t element) const {
  const char* t = get_string_element(variable_id(name), element);
  return t ? std::string(t) : std::string();
}

const std::vector<headless_game_error>& headless_game::errors() const { return error_sink(); }

std::vector<int> headless_game::error_codes() const {
  std::vector<int> out;
  for (const headless_game_error& e : error_sink()) out.push_back(e.code);
  return out;
}

std::vector<std::string> headless_game::log_lines() const {
  std::vector<std::string> lines;
  if (!folder_.exists("info.txt")) return lines;
  std::vector<uint8_t> bytes = folder_.read("info.txt");
  std::string text = sjis_to_utf8(std::string(bytes.begin(), bytes.end()));
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

uint64_t headless_game::frame_count() const { return frames_; }
uint64_t headless_game::pass_count() const { return scheduler_state.pass_counter; }
uint64_t headless_game::instructions() const { return scheduler_state.instructions; }
uint32_t headless_game::now_ms() const { return platform_ ? platform_->clock.tick_ms() : 0; }
bool headless_game::quitting() const { return quit_flag != 0; }
