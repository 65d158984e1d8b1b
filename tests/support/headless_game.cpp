#include "support/headless_game.h"

#include "d3d/scene_drawing.h"

#include <gtest/gtest.h>

#include <sstream>

#include "core/engine_fixture.h"
#include "core/engine_state.h"
#include "app/frame_loop.h"
#include "app/startup.h"
#include "core/error_report.h"
#include "core/object_tree.h"
#include "core/sjis.h"
#include "format/pack_format.h"
#include "app/command_handlers.h"
#include "app/headless_run.h"
#include "resources/compiled_loaders.h"
#include "core/engine_config.h"
#include "resources/pack_archive.h"
#include "resources/resource_locator.h"
#include "script/system_start.h"
#include "script/expression.h"
#include "script/scheduler.h"
#include "script/system_values.h"
#include "script/variable_store.h"
#include "support/object_tree_reset.h"

namespace {

std::vector<headless_game_error>& error_sink() {
  static std::vector<headless_game_error> errors;
  return errors;
}

void listen(int code, const std::string& text) { error_sink().push_back({code, text, sjis_to_utf8(text)}); }


}  // namespace

std::vector<uint8_t> build_game_pack(const std::string& listing_utf8, const compiled_engine_config& config) {
  assembler_options options;
  options.code_key = derive_code_file_key();
  options.config = config;
  assemble_result r = assemble_listing(utf8_to_sjis(listing_utf8), options);
  if (!r.ok) {
    ADD_FAILURE() << "listing does not assemble: line " << r.errors[0].line << ": " << r.errors[0].message;
    return {};
  }
  std::vector<pack_writer_entry> entries;
  for (const assembled_file& f : r.files) {
    pack_writer_entry e;
    e.name = f.name;
    e.data = f.bytes;
    entries.push_back(std::move(e));
  }
  std::vector<uint8_t> pack;
  if (!build_pack(entries, pack)) ADD_FAILURE() << "cannot build the game pack";
  return pack;
}

std::vector<uint8_t> engine_settings_file(std::initializer_list<std::pair<int, uint32_t>> slots) {
  // Slots 0, 2, 3, 4 and 14 are 1 by default; the rest keep theirs at 0.
  uint32_t values[32] = {};
  for (int slot : {0, 2, 3, 4, 14}) values[slot] = 1;
  for (auto [slot, value] : slots)
    if (slot >= 0 && slot < 32) values[slot] = value;
  std::vector<uint8_t> bytes(128);
  for (size_t i = 0; i < 128; ++i) bytes[i] = uint8_t(values[i / 4] >> (8 * (i % 4)));
  return bytes;
}

const char* const frame_counting_game = R"(
config window_kind 1
config size 128 96
global int frames = 0
*SYSTEM_START
*count
frames += 1
wait 1
goto count
)";

void reset_engine_for_next_run() {
  free_engine_trees();
  reset_input_records();
  reset_engine_records();
  reset_scheduler();
  reset_pack_tables();
  reset_resource_caches();
  reset_compiled_tables();
  reset_gpu_drawing();
  pack_folder_prefix.clear();
}

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

namespace {
// The engine is one per process: a game started while another still runs
// ends that one first, as a player would quit before the next starts.
headless_game* live_game = nullptr;
}  // namespace

void headless_game::end_run() {
  if (started_) shutdown_engine();
  started_ = false;
  if (live_game == this) live_game = nullptr;
}

headless_game::~headless_game() {
  end_run();
  error_report_listener = nullptr;
  reset_scheduler();
  free_engine_trees();
  reset_engine_records();
  platform_.reset();
}

void headless_game::replace_compiled_file(const std::string& name, std::vector<uint8_t> bytes) {
  files_[name] = std::move(bytes);
}

void headless_game::remove_compiled_file(const std::string& name) { files_.erase(name); }

void headless_game::add_resource(const std::string& name, std::vector<uint8_t> bytes, uint8_t type) {
  files_[name] = std::move(bytes);
  types_[name] = type;
}

void headless_game::write_file(const std::string& relative, const std::vector<uint8_t>& bytes) {
  folder_.write(relative, bytes);
}

void headless_game::set_command_handler(int slot, command_handler handler) {
  if (slot < 0 || slot >= command_slot_count) return;
  // The engine's handlers first (start-up then leaves them as they are), so
  // the stand-in is what the code files bind when they load.
  install_command_handlers();
  designed_command_handlers[slot] = handler;
}

int headless_game::start() {
  if (!assembly_.ok) return -1;
  std::vector<pack_writer_entry> entries;
  for (const auto& [name, bytes] : files_) {
    pack_writer_entry e;
    e.name = name;
    e.data = bytes;
    if (auto t = types_.find(name); t != types_.end()) e.type = t->second;
    entries.push_back(std::move(e));
  }
  std::vector<uint8_t> pack;
  if (!build_pack(entries, pack)) {
    ADD_FAILURE() << "cannot build the game pack";
    return -1;
  }
  folder_.write("game.kpf", pack);

  if (live_game && live_game != this) live_game->end_run();
  live_game = this;
  // A fresh engine: every table back at its start-up state.
  reset_engine_for_next_run();
  error_sink().clear();
  error_report_listener = listen;
  started_ = true;
  // The player's own start-up, as win_main runs it.
  return start_headless_game(platform_, folder_.path(), start_time_, std::string(ZARVIK_BINARY_DIR) + "/",
                             gpu_choice_, prepare_);
}

int headless_game::tick() {
  if (!started_) return 1;
  return main_loop_pass();
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

uint64_t headless_game::frame_count() const { return frame_counters.frame_count; }
uint64_t headless_game::pass_count() const { return frame_counters.script_tick; }
uint64_t headless_game::instructions() const { return scheduler_state.instructions; }
uint32_t headless_game::now_ms() const { return platform_ ? platform_->clock.tick_ms() : 0; }
bool headless_game::quitting() const { return quit_flag != 0; }
