// The user's settings files in the game folder (written by the settings tool),
// the save folder, the command-line argument slots and the game-folder write
// test.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

constexpr int settings_slot_count = 32;  // both files: 32 little-endian u32 slots
constexpr int argument_slot_count = 9;   // the program and its first 8 arguments

// kxcfg.dat. Only the listed values of a slot that is present change a field;
// anything else keeps the default.
struct engine_settings_record {
  uint8_t movie_engine = 1;      // slot 0: 0 MCI, 1 DirectShow
  uint8_t sse_allowed = 1;       // slot 2
  uint8_t sse2_allowed = 1;      // slot 3
  uint8_t worker_maximum = 4;    // slot 4: 0 gives 1
  uint8_t best_mode_search = 1;  // 1 on (kxcfg.dat slot 6 = 0), 0 off (slot 6 = 1)
  // slot 7 (0 fit, 1 fill, 2 stretch, 3 game size) stored in the screen-mode
  // numbering: 0 game size, 1 fit keeping aspect, 2 fill keeping aspect, 3 stretch.
  uint8_t scaling_policy = 1;
  // slot 8: 0 GPU level 3, 1 GPU level 2, 2 CPU bilinear (level 1), 3 CPU plain
  // (level 0). `drawing_method` keeps the slot's value (-1 when not given) for
  // the layered-window rule (there 0 counts as 1), applied where layered mode
  // is known.
  int32_t drawing_method = -1;
  uint8_t gpu_drawing = 1;
  uint8_t quality_level = 0;
  uint8_t smoothing = 1;
  uint8_t title_double_click_to_script = 0;  // slot 9
  uint8_t script_switch = 0;                 // slot 10: read by scripts only
  uint8_t device_option = 0;                 // slot 12
  // slot 13: 1 gives 16-bit layer textures (bits 16, format code 26: A4R4G4B4),
  // 0 32-bit ones (32, 21: A8R8G8B8).
  int texture_bits = 32, texture_format_code = 21;
  uint8_t texture_option = 1;       // slot 14: 16-bit textures are dithered
  uint8_t disable_composition = 0;  // slot 22
  int texture_size_large = 512, texture_size_small = 256;
};
extern engine_settings_record engine_settings;

// kxsfs.dat slot 21 and the save folder built from it.
struct save_settings_record {
  int save_folder_mode = 0;  // 0 game folder "save\", 1 per-user data, 2 documents, 3 documents "My Games"
  std::string save_path = "save\\";  // Shift-JIS game path, ends in a separator
};
extern save_settings_record save_settings;

// Slot 0 the program as started, 1..8 the first eight arguments, "" when absent.
struct command_line_slots_record {
  std::string slots[argument_slot_count];  // Shift-JIS
  int argument_count = 0;  // arguments given after the program, at most 8
};
extern command_line_slots_record command_line_slots;

// Set by test_folder_writable when a file cannot be made in the game path.
extern uint8_t game_folder_not_writable;

void copy_command_line();
void read_engine_settings();  // "kxcfg.dat" in the game folder
void read_save_settings();    // "kxsfs.dat" in the game folder, then the save folder
void test_folder_writable();

// The parsers behind the two readers: apply the whole slots present in `bytes`
// (the readers hand them a short file padded with zeros).
void apply_engine_settings(const std::vector<uint8_t>& bytes);
void apply_save_settings(const std::vector<uint8_t>& bytes);

// ---- the layout both files share, for the player and the settings tool alike.
// A slot that changes something: the values 0 .. value_count - 1 act (0: any
// value acts), and the value that keeps the player's default.
struct settings_slot_rule {
  int slot;
  uint32_t value_count;
  uint32_t default_value;
};
extern const std::vector<settings_slot_rule> engine_settings_rules;  // kxcfg.dat
extern const std::vector<settings_slot_rule> save_settings_rules;    // kxsfs.dat
constexpr const char* engine_settings_file_name = "kxcfg.dat";
constexpr const char* save_settings_file_name = "kxsfs.dat";

// The slots wholly present in `bytes`, at most 32: a short file gives fewer.
std::vector<uint32_t> read_settings_slots(const std::vector<uint8_t>& bytes);
// Whether slot `slot` is present and holds a value the player acts on.
bool settings_slot_acts(const std::vector<uint32_t>& slots, int slot, const std::vector<settings_slot_rule>& rules);
// What the settings tool opens: all 32 slots as stored, where a slot that
// changes something but is missing or holds a value without effect takes the
// value of the player's default; other missing slots are 0.
std::vector<uint32_t> settings_slots_for_editing(const std::vector<uint8_t>& bytes,
                                                 const std::vector<settings_slot_rule>& rules);
// The file of 32 little-endian slots (missing ones 0).
std::vector<uint8_t> settings_file_bytes(const std::vector<uint32_t>& slots);
// Writes a settings file in the game folder whole or not at all: a temporary
// file renamed over the old one. False when it could not be written.
bool write_settings_file(const char* name, const std::vector<uint32_t>& slots);
// Builds save_settings.save_path for the current mode from module_paths.
void build_save_path();

// The program's paths. Engine forms are Shift-JIS; host forms UTF-8.
struct module_paths_record {
  std::string program_path_host;  // as started (links not resolved): what the restart runs
  std::string program_path;       // Shift-JIS, lower-cased
  // The program path lower-cased with every separator turned into ':', naming
  // the single-instance lock: one running copy per program path.
  std::string instance_name;
  // The game folder: the file service's root, where the program was started
  // from. Kept with '/' separators so it stays an absolute path for HostFiles.
  std::string game_folder;       // Shift-JIS, ends in '/'
  std::string game_folder_host;  // UTF-8, ends in '/'
  // What scripts see as the application-data and documents folders: the
  // player's own folders of this game (Shift-JIS, ending in '/').
  std::string app_data_folder;
  std::string documents_folder;
  // The user's own data and documents folders, where the save folder modes
  // keep their saves (Shift-JIS, ending in '/').
  std::string user_data_home;
  std::string user_documents_home;
  // Where compiled files and data are looked up: the game folder in a release
  // run, else what the compiler link hands over.
  std::string game_path;
};
extern module_paths_record module_paths;
