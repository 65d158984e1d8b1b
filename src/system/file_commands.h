// Commands 19 (file operations: folders, copies, deletes, starting programs,
// preloads, writing a layer's picture) and 20 (existence and size tests, the
// program for a file), and the path rules every script file operation obeys.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct cg_record;

int cmd_file_operation();
int cmd_file_exists();

// A script's path (Shift-JIS, lower-cased and '\' separated by the command)
// as a game path: relative to the script folder. Drive letters and network
// paths are refused with an info-log ERR line naming `operation`.
bool script_game_path(const std::string& script_path, std::string& game_path, const char* operation);
// Writes, copies, deletes, folder creation and program starts happen only
// inside the game, save, per-user data, documents and temporary folders;
// anything else is refused with an info-log ERR line.
bool contained_for(const char* operation, const std::string& game_path);

// Starts a file the way the desktop opens it: a program the game shipped
// (one with an execute bit, which nothing a script writes carries) by argv
// with the parameters split like a command line (no shell), a document or
// folder through xdg-open. Only contained files start, and never one the
// opener would run (`runs_when_opened`). With `wait`, the script waits until
// the program ends while the window stays alive; a quit ends the wait (the
// program runs on and is reaped). True when it started.
bool start_script_program(const std::string& file, const std::string& parameters, bool wait);
// Opens an http, https or mailto address (as written) in the desktop's
// handler, or a document inside the game folder itself (a bundled manual)
// through xdg-open, never one that would run; anything else is refused.
bool open_url(const std::string& text);
// "http://", "https://" or "mailto:" at the start, in any case.
bool is_web_address(const std::string& text);
// A file the desktop's opener would run or hand to an interpreter: an ELF or
// "MZ" program, a "#!" script, a launcher such as a ".desktop" file.
bool runs_when_opened(const std::string& game_path);
// Splits parameters like a command line: blanks separate, double quotes group.
std::vector<std::string> split_parameters(const std::string& text);

// Creates every folder of the path (a trailing separator ends it), parents
// first, through the containment policy.
bool create_folder_path(const std::string& script_path);

// The one place command 19 writes a layer's picture: format 0 BMP, 1 PNG
// (level 0..9), 2 JPEG (quality 1..100). 0, or -1 when the file could not be
// written. `name` already has its extension.
enum : int { picture_format_bmp = 0, picture_format_png = 1, picture_format_jpeg = 2 };
int write_layer_picture(cg_record* picture, const std::string& game_path, int format, int level);
