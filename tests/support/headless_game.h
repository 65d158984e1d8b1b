// A whole game run headless: a script listing is assembled into a game folder
// (one pack holding kxbin\kxcfg.kbn, so the run is a release run), the real
// start-up runs on the headless platform, and frame ticks run on virtual time.
// The test then reads variables, reported errors, log lines and counters.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "format/script_assembler.h"
#include "platform/headless/headless_platform.h"
#include "resources/command_table.h"
#include "support/temp_folder.h"

// The compiled files of a listing in one pack, as a release game ships them;
// `config` is the configuration before the listing's own config lines. An
// empty result (and a test failure) when the listing does not assemble.
std::vector<uint8_t> build_game_pack(const std::string& listing_utf8, const compiled_engine_config& config = {});

// A kxcfg.dat of 32 little-endian slots: the given ones set, every other slot
// holding the value that keeps its default.
std::vector<uint8_t> engine_settings_file(std::initializer_list<std::pair<int, uint32_t>> slots);
// CPU drawing with smoothing (slot 8 = 2): no GPU fall-back message at start.
inline std::vector<uint8_t> cpu_drawing_settings() { return engine_settings_file({{8, 2}}); }

// A game of one 128 x 96 window that counts its frames in `frames`.
extern const char* const frame_counting_game;

// Every table a run leaves behind back at its start-up state, as in a new
// process: for a game started in a test process that ran others before.
void reset_engine_for_next_run();

struct headless_game_error {
  int code = 0;
  std::string text;       // Shift-JIS, as the dialog shows it
  std::string text_utf8;  // the same, for assertions
};

class headless_game {
 public:
  // `listing_utf8` is converted to Shift-JIS and assembled; a listing that
  // does not assemble fails the current test (and start() then fails).
  explicit headless_game(const std::string& listing_utf8);
  ~headless_game();
  headless_game(const headless_game&) = delete;
  headless_game& operator=(const headless_game&) = delete;

  const assemble_result& assembly() const { return assembly_; }
  temp_folder& folder() { return folder_; }
  HeadlessPlatform& backend() { return *platform_; }

  // Before start(): replace a compiled file's bytes in the pack (damaged
  // files), add a loose file, or put a handler into a command slot (test
  // commands; restored when the game ends).
  void replace_compiled_file(const std::string& name, std::vector<uint8_t> bytes);
  void remove_compiled_file(const std::string& name);
  // Before start(): a pack entry of a given resource type (pictures, sounds).
  void add_resource(const std::string& name, std::vector<uint8_t> bytes, uint8_t type);
  void write_file(const std::string& relative, const std::vector<uint8_t>& bytes);
  void set_command_handler(int slot, command_handler handler);
  // Sets up the fake machine (desktop, arguments, memory...) once the
  // headless platform exists, before start-up asks it anything.
  void prepare(std::function<void(HeadlessPlatform&)> f) { prepare_ = std::move(f); }
  // The GPU backends the run may use (our rasteriser unless set).
  void set_gpu_choice(gpu_choice choice) { gpu_choice_ = choice; }
  // The virtual clock's value when the game starts.
  void set_start_time(uint32_t ms) { start_time_ = ms; }

  // Writes the folder and runs the start-up sequence. 0 when the game is
  // running; nonzero when start-up ended (an error was reported).
  int start();
  // One frame tick; nonzero when the program must close.
  int tick();
  // Up to n ticks, stopping at a close; the number of ticks run.
  int run_ticks(int n);

  // Variables by listing name.
  uint32_t variable_id(const std::string& name) const;
  int64_t int_value(const std::string& name, int64_t element = 0) const;
  double real_value(const std::string& name, int64_t element = 0) const;
  std::string text_value(const std::string& name, int64_t element = 0) const;  // Shift-JIS

  const std::vector<headless_game_error>& errors() const;
  std::vector<int> error_codes() const;
  // info.txt of the game folder, as UTF-8 lines.
  std::vector<std::string> log_lines() const;

  uint64_t frame_count() const;
  uint64_t pass_count() const;
  uint64_t instructions() const;
  uint32_t now_ms() const;
  bool quitting() const;
  // Shuts the engine down (the destructor does it too).
  void end_run();

 private:
  temp_folder folder_;
  std::unique_ptr<HeadlessPlatform> platform_;
  assemble_result assembly_;
  std::map<std::string, std::vector<uint8_t>> files_;
  std::map<std::string, uint8_t> types_;
  bool started_ = false;
  uint32_t start_time_ = 0;
  gpu_choice gpu_choice_ = gpu_choice::software;
  std::function<void(HeadlessPlatform&)> prepare_;
};
