// The platform layer: small service interfaces shaped by what the engine needs.
// Engine code talks to the host only through these; backends live in the
// sibling folders (sdl/, posix/, headless/, ...). All strings crossing these
// interfaces are Shift-JIS engine strings unless a name says "host" (UTF-8).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/gpu_device.h"

// ---------------------------------------------------------------- Clock

struct local_time {
  int year = 0, month = 0, day = 0;  // month 1..12
  int hour = 0, minute = 0, second = 0, milliseconds = 0;
  int day_of_week = 0;  // 0 = Sunday
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Millisecond tick on the timeGetTime scale: wraps at 2^32.
  virtual uint32_t tick_ms() = 0;
  // Sleep(ms); 0 yields. The headless clock advances virtual time instead.
  virtual void sleep_ms(uint32_t ms) = 0;
  virtual local_time local_now() = 0;

  // Threads that keep step with the frame loop instead of pacing it (the
  // sound thread) sleep through follow_sleep_ms between begin_following and
  // end_following; a thread waiting for such a thread steps with
  // wait_step_ms. On a real clock both are plain sleeps. A virtual clock whose
  // time is followed wakes each follower exactly when the threads that move
  // the clock pass its wake time, and holds the clock there until the
  // follower sleeps again, so its work happens at the same virtual instants
  // on every run; wait_step_ms then moves the clock like sleep_ms.
  virtual void begin_following() {}
  virtual void end_following() {}
  virtual void follow_sleep_ms(uint32_t ms) { sleep_ms(ms); }
  virtual void wait_step_ms(uint32_t ms) { sleep_ms(ms); }
  // Work was handed to the followers: each one asleep in follow_sleep_ms
  // wakes now instead of at its wake time (on a followed virtual clock, at
  // the current instant, before the clock moves on), and one that is awake
  // does not sleep its next sleep.
  virtual void wake_followers() {}
};

// ---------------------------------------------------------------- HostFiles

enum class host_entry_kind { missing, file, folder };

struct host_folder_entry {
  std::string name;  // Shift-JIS
  bool is_folder = false;
  uint64_t size = 0;
};

// A file opened for reading at arbitrary offsets (pack archives).
class HostReadFile {
 public:
  virtual ~HostReadFile() = default;
  virtual uint64_t size() const = 0;
  // Reads exactly `length` bytes at `offset`; false when the file is shorter.
  virtual bool read_at(uint64_t offset, void* buffer, size_t length) = 0;
};

// The per-game folders of the player's own that scripts may change.
enum class own_folder { data, documents, temp };

// "NAME-HASH" for a game folder (UTF-8, as the service holds it): the name of
// the player's own per-game folders and registry file, so two games of the
// same folder name keep apart.
std::string game_folder_tag(const std::string& game_folder_host);
// The game's own registry file: "zarvik/registry/TAG.txt" in the user's
// configuration folder (ending in '/').
std::string game_registry_file_host(const std::string& config_folder_host, const std::string& game_folder_host);

// Game paths: Shift-JIS, '\' or '/' separated, either relative to the game
// folder or absolute host paths. Each component is matched case-insensitively
// against what exists, so a game folder copied from a case-insensitive file
// system runs unchanged.
class HostFiles {
 public:
  virtual ~HostFiles() = default;
  // The host folder (UTF-8, ending in '/') that relative game paths start from.
  virtual std::string game_folder_host() const = 0;
  // Host path (UTF-8) for a game path; components that exist are matched
  // case-insensitively, the rest are converted as written.
  virtual std::string host_path(std::string_view game_path) const = 0;
  virtual host_entry_kind kind(std::string_view game_path, uint64_t* size = nullptr) const = 0;
  // Reads a whole file; false when it is missing, a folder or unreadable.
  virtual bool read_file(std::string_view game_path, std::vector<uint8_t>& out) const = 0;
  virtual std::unique_ptr<HostReadFile> open_read(std::string_view game_path) const = 0;
  // Folder listing (names only, no "." or "..").
  virtual std::vector<host_folder_entry> list_folder(std::string_view game_path) const = 0;

  // Writes obey the containment policy: only inside the write roots (game
  // folder, save folder, the player's own folders of this game and its
  // registry file), never through ".." or a symbolic link out of them.
  // Refused writes return false. No file written carries an execute bit.
  virtual bool write_file(std::string_view game_path, const void* data, size_t size) = 0;
  virtual bool append_file(std::string_view game_path, const void* data, size_t size) = 0;
  // Writes to a temporary file in the same folder, flushes it and renames it
  // over the target: the old file survives any failure.
  virtual bool replace_file(std::string_view game_path, const void* data, size_t size) = 0;
  virtual bool remove_file(std::string_view game_path) = 0;
  virtual bool rename(std::string_view from_game_path, std::string_view to_game_path) = 0;
  virtual bool make_folder(std::string_view game_path) = 0;  // with parents
  virtual bool remove_folder(std::string_view game_path) = 0;  // empty folders only
  virtual bool write_allowed(std::string_view game_path) const = 0;
  virtual void add_write_root(const std::string& host_folder) = 0;
  // The player's own folders for this game (data, documents, temporary) and
  // its registry file: write roots that are made, private to the user, on the
  // first write into them. The temporary folder is made at once, and refused
  // when something not this user's own stands at its place.
  virtual void add_own_folder(own_folder which, const std::string& host_folder) {
    (void)which;
    add_write_root(host_folder);
  }
  virtual void add_write_file(const std::string& host_file) { (void)host_file; }
  // An own folder (UTF-8, ending in '/'); empty when none was set.
  virtual std::string own_folder_host(own_folder which) const {
    (void)which;
    return {};
  }
  // Inside the game folder itself (links resolved), not another write root.
  virtual bool in_game_folder(std::string_view game_path) const {
    (void)game_path;
    return false;
  }
  // Moves the folder relative game paths start from (the working folder of
  // the original, without touching the process's own) and admits it as a
  // write root. False, nothing changed, when it is not an existing folder.
  // Only while no other thread uses the service (start-up).
  virtual bool set_game_folder_host(const std::string& host_folder) {
    (void)host_folder;
    return false;
  }

  // ---- scripts' paths and the operations scripts reach.
  // A path a script gives (Shift-JIS, '\' or '/' separated) as a game path:
  // relative paths start from the script folder, a leading separator makes
  // an absolute host path. Drive letters ("C:...") and network paths
  // ("\\server\...") have no meaning here: false.
  virtual bool script_path(std::string_view script_path_sjis, std::string& game_path) const {
    game_path.assign(script_path_sjis);
    return true;
  }
  // Moves the script folder (the current directory scripts see; the process's
  // working directory never moves, so loose files and the engine's own files
  // keep their places). False, unchanged, when it is not an existing folder.
  virtual bool set_script_folder(std::string_view script_path_sjis) {
    (void)script_path_sjis;
    return false;
  }
  // The script folder as a Shift-JIS host path ending in '/'.
  virtual std::string script_folder() const { return {}; }
  // Copies a file (read from anywhere) to a contained destination through a
  // temporary file renamed over it: a failed copy leaves the old file.
  virtual bool copy_file(std::string_view from_game_path, std::string_view to_game_path) {
    std::vector<uint8_t> bytes;
    return read_file(from_game_path, bytes) && replace_file(to_game_path, bytes.data(), bytes.size());
  }
  // Bytes available to this user on the file system holding the path.
  virtual bool free_space(std::string_view game_path, uint64_t* bytes) const {
    (void)game_path, (void)bytes;
    return false;
  }
  // A regular file this user may execute.
  virtual bool is_executable(std::string_view game_path) const {
    (void)game_path;
    return false;
  }
};

// ---------------------------------------------------------------- Process

// A program the caller started and waits for.
class ChildProcess {
 public:
  // A child still running is left to run; it is reaped when it ends.
  virtual ~ChildProcess() = default;
  // False once the program has ended.
  virtual bool running() = 0;
  // Asks the program to end, ends it by force when it does not, and waits.
  virtual void terminate() = 0;
};

class Process {
 public:
  virtual ~Process() = default;
  // The program's own path as it was started (UTF-8), links not resolved, so
  // the player can be linked into any game folder.
  virtual std::string program_path_host() const = 0;
  // Arguments after the program name, converted to Shift-JIS.
  virtual std::vector<std::string> arguments() const = 0;
  // Single instance by a lock named after `instance_name`. Returns 0 when this
  // process holds it, 1 when another process holds it (that process has been
  // asked to restore and raise its window), -1 on failure.
  virtual int claim_single_instance(const std::string& instance_name) = 0;
  virtual void release_single_instance() = 0;
  // True once for every raise request that reached the running copy.
  virtual bool take_raise_request() = 0;
  // Starts a program by argv (host strings), never through a shell.
  virtual bool spawn(const std::vector<std::string>& argv_host) = 0;
  // The same, in `working_folder_host`, for a caller that waits for it or
  // ends it. Null when it cannot be started.
  virtual std::unique_ptr<ChildProcess> start_child(const std::vector<std::string>& argv_host,
                                                    const std::string& working_folder_host) {
    (void)argv_host, (void)working_folder_host;
    return nullptr;
  }
  // Per-user folders of this platform (UTF-8, ending in '/'): XDG data home
  // (the AppData folder's role) and the documents folder (My Documents).
  virtual std::string user_data_folder_host() const = 0;
  virtual std::string documents_folder_host() const = 0;
  virtual std::string temp_folder_host() const = 0;
  // The per-user configuration folder (XDG config home), UTF-8, ending in '/'.
  virtual std::string user_config_folder_host() const { return user_data_folder_host(); }
  // Physical memory: total and available bytes, and the share in use in
  // percent. False when the platform cannot tell.
  virtual bool memory_status(uint64_t* total, uint64_t* available, uint32_t* load_percent) const {
    (void)total, (void)available, (void)load_percent;
    return false;
  }
  // Whether the program runs with the system administrator's rights.

  // ---- programs a script starts and waits for.
  // Starts a program by argv (never a shell) and keeps it to be waited on:
  // a handle above 0, or 0 when it could not start.
  virtual int64_t start_child(const std::vector<std::string>& argv_host) {
    (void)argv_host;
    return 0;
  }
  // 1 when the child has ended (it is reaped; *exit_code gets its status), 0
  // while it runs, -1 for an unknown handle.
  virtual int poll_child(int64_t handle, int* exit_code) {
    (void)handle, (void)exit_code;
    return -1;
  }
  // Stops waiting: the child runs on and is reaped when it ends.
  virtual void release_child(int64_t handle) { (void)handle; }
  // Runs a program by argv and collects what it writes to its standard
  // output until it ends (the desktop's folder chooser). False when it could
  // not start.
  virtual bool run_and_capture(const std::vector<std::string>& argv_host, std::string* output, int* exit_code) {
    (void)argv_host, (void)output, (void)exit_code;
    return false;
  }
  // The user has administrator rights (the effective user is root).
  virtual bool is_administrator() const { return false; }
};

// ---------------------------------------------------------------- DynamicLibrary

class DynamicLibrary {
 public:
  virtual ~DynamicLibrary() = default;
  // Loads a library by file name (searched beside the program first). On
  // failure returns null and fills the error number and text.
  virtual void* load(const std::string& name, int* error_number, std::string* error_text) = 0;
  virtual void* symbol(void* library, const char* name) = 0;
  virtual void unload(void* library) = 0;
};

// ---------------------------------------------------------------- SharedMemory

// A mapped block of named memory, unmapped when released; a block this
// process created also loses its name then.
class SharedMemoryBlock {
 public:
  virtual ~SharedMemoryBlock() = default;
  virtual uint8_t* data() = 0;
  virtual size_t size() const = 0;
};

// Named memory shared with another program of the same user. A name is scoped
// by the user and by a folder (the game folder), so two games, or two users,
// never meet in the same block; blocks are readable and writable by their
// owner only.
class SharedMemory {
 public:
  virtual ~SharedMemory() = default;
  // A new zero-filled block of `size` bytes (a stale block of the same name
  // left by this user is replaced). Null on failure.
  virtual std::unique_ptr<SharedMemoryBlock> create(const std::string& name, const std::string& scope_folder_host,
                                                    size_t size) = 0;
  // The block another program of this user created, mapped whole. Null when
  // there is none, or it belongs to someone else or is open to others.
  virtual std::unique_ptr<SharedMemoryBlock> open(const std::string& name, const std::string& scope_folder_host) = 0;
};

// ---------------------------------------------------------------- Ui

// The engine's message codes; the numbers match the original window messages
// so scripts and stored values that carry them keep their meaning.
enum : uint32_t {
  msg_destroy = 0x0002,
  msg_move = 0x0003,
  msg_size = 0x0005,
  msg_activate = 0x0006,
  msg_set_focus = 0x0007,
  msg_kill_focus = 0x0008,
  msg_paint = 0x000F,
  msg_close = 0x0010,
  msg_quit = 0x0012,
  msg_activate_app = 0x001C,
  // Non-client (title bar, menu bar) mouse messages: wparam is the hit-test
  // code, x and y are client coordinates (negative above the client).
  msg_nc_mouse_move = 0x00A0,
  msg_nc_left_button_down = 0x00A1,
  msg_nc_left_button_up = 0x00A2,
  msg_nc_left_button_double = 0x00A3,
  msg_key_down = 0x0100,
  msg_key_up = 0x0101,
  msg_char = 0x0102,
  msg_sys_key_down = 0x0104,
  msg_sys_key_up = 0x0105,
  msg_command = 0x0111,
  msg_sys_command = 0x0112,
  msg_mouse_move = 0x0200,
  msg_left_button_down = 0x0201,
  msg_left_button_up = 0x0202,
  msg_left_button_double = 0x0203,
  msg_right_button_down = 0x0204,
  msg_right_button_up = 0x0205,
  msg_middle_button_down = 0x0207,
  msg_middle_button_up = 0x0208,
  msg_mouse_wheel = 0x020A,
  msg_exit_size_move = 0x0232,
  msg_drop_files = 0x0233,
  msg_tray_icon = 0x040A,  // the tray icon's callback: wparam is the mouse message
  msg_raise_request = 0x8001,  // another start of this program asked us to come to front
  msg_text_input = 0x8002,     // text typed while text input is on (ui_event::text)
  msg_text_editing = 0x8003,   // the input method's composition so far (ui_event::text; x = caret)
  msg_movie_event = 0x8004,    // the movie player has news for window 0 (its movie ended)
};

struct ui_event {
  uint32_t message = 0;
  int window = 0;         // game window 0..3
  uint64_t wparam = 0;    // key code, button state, wheel delta (signed in the high word)...
  int64_t lparam = 0;
  int x = 0, y = 0;       // client coordinates for mouse messages
  std::vector<std::string> files;  // msg_drop_files: Shift-JIS paths
  std::string text;                // msg_text_input, msg_text_editing: Shift-JIS
};

struct window_desc {
  std::string title;  // Shift-JIS
  int x = -1, y = -1;  // -1: let the platform place it
  int width = 640, height = 480;  // client size
  bool visible = true;
  bool resizable = false;
  bool borderless = false;  // no title bar or frame
};

// Hit-test codes of the title bar and the menu bar (msg_nc_* wparam).
constexpr uint64_t hit_caption = 2;
constexpr uint64_t hit_menu = 5;
// The overlay slot (set_overlay) of the full-screen menu strip, drawn over
// the other slots.
constexpr int overlay_slot_menu_strip = 2;

// Message box flags and results, numbered as the original ones.
enum : uint32_t {
  mb_ok = 0x0,
  mb_ok_cancel = 0x1,
  mb_yes_no_cancel = 0x3,
  mb_yes_no = 0x4,
  mb_icon_error = 0x10,
  mb_icon_question = 0x20,
  mb_icon_warning = 0x30,
  mb_icon_information = 0x40,
  mb_default_button2 = 0x100,
  mb_default_button3 = 0x200,
  mb_system_modal = 0x1000,
};
enum : int { id_ok = 1, id_cancel = 2, id_yes = 6, id_no = 7 };

// System commands (msg_sys_command wparam, low 4 bits ignored), numbered as
// the original ones.
// In a msg_sys_command's lparam: the engine asks for the command (command
// 92's maximise toggle), which is carried out when the window procedure
// allows it. Without it the platform reports what the window manager has
// already done, and a refusal undoes it.
constexpr int64_t sys_command_request = 1;

enum : uint32_t {
  sc_minimize = 0xF020,
  sc_maximize = 0xF030,
  sc_close = 0xF060,
  sc_restore = 0xF120,
  sc_screensave = 0xF140,
};

// ---- menus, cursor and tray icon (begin)
// System cursor shapes, numbered as the cursor command numbers them.
enum ui_cursor_shape : int {
  cursor_arrow = 0, cursor_ibeam = 1, cursor_wait = 2, cursor_cross = 3, cursor_up_arrow = 4,
  cursor_size_nwse = 5, cursor_size_nesw = 6, cursor_size_we = 7, cursor_size_ns = 8, cursor_size_all = 9,
  cursor_no = 10, cursor_hand = 11, cursor_app_starting = 12, cursor_help = 13,
};

// The tray icon: a 16 x 16 BGRA picture (empty: the program's icon) and its
// tooltip (Shift-JIS). Clicks arrive as msg_tray_icon events for window 0.
struct ui_tray_icon {
  std::vector<uint8_t> bgra;
  std::string tooltip;
};
enum ui_tray_result : int { tray_failed = -1, tray_no_manager = 0, tray_docked = 1 };
// ---- menus, cursor and tray icon (end)

// One game controller as the engine reads it: axes 0..65535 with the centre
// at 32767, buttons as bits (bit n = button n + 1).
struct ui_joystick_state {
  uint32_t x = 32767, y = 32767;
  uint32_t buttons = 0;
};

// ---- displays and window placement (screen modes, window commands)

struct ui_rect {
  int x = 0, y = 0, width = 0, height = 0;
};
// One monitor: its place on the desktop, the part not taken by panels, and
// the name the system gives it (UTF-8).
struct ui_display {
  ui_rect bounds, usable;
  std::string name;
};
struct ui_display_mode {
  int width = 0, height = 0;
  int depth = 0;    // bits per pixel as the engine counts them (24-bit colour is 32)
  int refresh = 0;  // Hz, 0 when unknown
};
enum class ui_stacking { top, topmost, bottom, behind_main };

class Ui {
 public:
  virtual ~Ui() = default;
  virtual bool create_window(int window, const window_desc& desc) = 0;
  virtual void destroy_window(int window) = 0;
  virtual bool window_exists(int window) const = 0;
  virtual void show_window(int window, bool visible) = 0;
  virtual void set_window_title(int window, const std::string& title) = 0;
  // Restores a minimised window and brings it to the front.
  virtual void raise_window(int window) = 0;
  // Presents a BGRA frame (rows top down, `stride` bytes apart) into the
  // window's client area at (dst_x, dst_y).
  virtual void present(int window, const uint8_t* bgra, int width, int height, int stride, int dst_x = 0,
                       int dst_y = 0) = 0;
  // Next pending event, translated to the engine's message codes; false when
  // none is waiting. Never blocks.
  virtual bool poll_event(ui_event& out) = 0;
  // Queues an event for this process (the PostMessage of the original).
  virtual void post_event(const ui_event& event) = 0;
  // Modal message box; returns id_ok, id_cancel, id_yes or id_no.
  virtual int message_box(const std::string& caption, const std::string& text, uint32_t flags) = 0;
  // The error dialog: the text, a Close button and, when offered, an Edit
  // button. Returns 1 for Edit, 0 for Close.
  virtual int error_dialog(const std::string& title, const std::string& text, bool offer_edit) = 0;
  // Runs the window and dialog requests that other threads have handed to the
  // calling thread. True when the caller is the thread that serves them: it
  // must then keep calling this while it waits for another engine thread,
  // which may be blocked in such a request. False on every other thread and
  // for a Ui that serves any thread directly.
  virtual bool serve_requests() { return false; }

  // ---- windows, beyond creation. Defaults suit a Ui without them.
  // The client area's size; false when the window does not exist.
  virtual bool client_size(int window, int* width, int* height) const {
    (void)window, (void)width, (void)height;
    return false;
  }
  // Resizes the client area (the frame follows).
  virtual void set_client_size(int window, int width, int height) { (void)window, (void)width, (void)height; }
  // Asks for a repaint: a msg_paint for the window arrives through poll_event.
  virtual void invalidate(int window) {
    ui_event e;
    e.message = msg_paint;
    e.window = window;
    post_event(e);
  }
  // Restores a minimised or maximised window to its normal size.
  virtual void restore_window(int window) { (void)window; }
  // Starts moving the window with the mouse, as a press on its title bar at
  // client point (x, y) would; the move ends when the left button is released.
  virtual void begin_window_drag(int window, int x, int y) { (void)window, (void)x, (void)y; }
  virtual void set_cursor_visible(bool visible) { (void)visible; }
  // ---- menus, cursor and tray icon (begin)
  // Moves the cursor to a client point of the window.
  virtual void warp_cursor(int window, int x, int y) { (void)window, (void)x, (void)y; }
  virtual void set_system_cursor(int shape) { (void)shape; }
  // A colour cursor from a BGRA picture (rows top down, width * 4 bytes
  // apart) with its hot spot inside it. False when it cannot be made.
  virtual bool set_colour_cursor(const uint8_t* bgra, int width, int height, int hot_x, int hot_y) {
    (void)bgra, (void)width, (void)height, (void)hot_x, (void)hot_y;
    return false;
  }
  // Shows or changes the tray icon; tray_no_manager when the desktop has no
  // system tray (the icon is kept and docks when one appears, if it can).
  virtual int show_tray_icon(const ui_tray_icon& icon) {
    (void)icon;
    return tray_no_manager;
  }
  virtual void remove_tray_icon() {}
  // False when no user answers (headless runs): menus the player opens then
  // take only the events already waiting and close when none is left.
  virtual bool interactive() const { return true; }
  // The next event for a menu the player has opened (input while it is open
  // goes to the menu).
  virtual bool poll_menu_event(ui_event& out) { return poll_event(out); }
  // The window's menu bar: a BGRA picture the player drew (rows top down,
  // width * 4 bytes apart), shown in `height` rows above the client area, as
  // a system menu bar sits. The client keeps its size and everything told in
  // client coordinates stays as it was; the window grows by the bar. A
  // narrower picture is widened with its last column. Presses in the bar
  // arrive as msg_nc_left_button_down / _up with wparam hit_menu, moves as
  // msg_nc_mouse_move, at client coordinates (y < 0). A null picture or a
  // height of 0 removes the bar; the same height again only redraws it.
  virtual void set_menu_bar(int window, const uint8_t* bgra, int width, int height) {
    (void)window, (void)bgra, (void)width, (void)height;
  }
  // ---- menus, cursor and tray icon (end)
  // Whole-window transparency of a layered window: 0 (clear) .. 255 (opaque).
  virtual void set_window_alpha(int window, int alpha) { (void)window, (void)alpha; }

  // ---- clipboard, text input, the player's own boxes, the folder chooser.
  // False when nobody can answer a box (headless, no display): the player's
  // own boxes then take their default answer once the waiting input is used up.
  virtual bool has_user() const { return true; }
  // Clipboard text in Shift-JIS; false when there is none (or no clipboard).
  virtual bool set_clipboard_text(const std::string& sjis) {
    (void)sjis;
    return false;
  }
  virtual bool clipboard_text(std::string& sjis) {
    (void)sjis;
    return false;
  }
  // Text input for the player's edit boxes: while on, typed text arrives as
  // msg_text_input and the input method's composition as msg_text_editing;
  // its candidate window goes near the client rectangle given.
  virtual void start_text_input(int window, int x, int y, int width, int height) {
    (void)window, (void)x, (void)y, (void)width, (void)height;
  }
  virtual void stop_text_input() {}
  // A BGRA picture the player drew (its edit box, input and notice boxes)
  // shown over the window's frame at client point (x, y) until cleared.
  // Slot 0: the edit box; slot 1: a modal box; slot 2: the menu strip.
  virtual void set_overlay(int window, int slot, const uint8_t* bgra, int width, int height, int x, int y) {
    (void)window, (void)slot, (void)bgra, (void)width, (void)height, (void)x, (void)y;
  }
  virtual void clear_overlay(int window, int slot) { (void)window, (void)slot; }
  // The desktop's folder chooser, starting at `initial` (Shift-JIS host
  // path). True with the chosen folder; false when cancelled or unavailable.
  virtual bool browse_for_folder(const std::string& initial, const std::string& title, std::string& chosen) {
    (void)initial, (void)title, (void)chosen;
    return false;
  }

  // ---- input, sampled by the main thread once per loop pass.
  // Down bits (bit 7) by virtual-key code: keys, and the mouse buttons at 1
  // (left), 2 (right) and 4 (middle), wherever the cursor is.
  virtual void keyboard_state(uint8_t out[256]) {
    for (int i = 0; i < 256; ++i) out[i] = 0;
  }
  // The cursor in the window's client coordinates (outside the client too);
  // false when the window does not exist.
  virtual bool cursor_position(int window, int* x, int* y) {
    (void)window, (void)x, (void)y;
    return false;
  }
  // Keeps the screen saver from starting while `blocked`.
  virtual void block_screen_saver(bool blocked) { (void)blocked; }
  // The cursor in screen coordinates; false when unknown.
  virtual bool screen_cursor_position(int* x, int* y) {
    (void)x, (void)y;
    return false;
  }
  // Game controllers: ids 0 .. count-1. A false state means the pad was lost.
  virtual int joystick_count() { return 0; }
  virtual bool joystick_state(int id, ui_joystick_state& out) {
    (void)id, (void)out;
    return false;
  }
  // The primary display's desktop mode: size, colour depth in bits and refresh
  // rate in Hz (0 when unknown). False when there is no display to ask.
  virtual bool desktop_mode(int* width, int* height, int* depth, int* refresh) {
    (void)width, (void)height, (void)depth, (void)refresh;
    return false;
  }

  // ---- displays and window placement. Defaults: one unknown display and a
  // window that ignores what it cannot do.
  virtual int display_count() { return 0; }
  virtual bool display_info(int display, ui_display& out) {
    (void)display, (void)out;
    return false;
  }
  // The display modes a display offers (any order); false past the end.
  virtual int display_mode_count(int display) {
    (void)display;
    return 0;
  }
  virtual bool display_mode(int display, int index, ui_display_mode& out) {
    (void)display, (void)index, (void)out;
    return false;
  }
  // The display that holds the window's centre; -1 when unknown.
  virtual int window_display(int window) {
    (void)window;
    return -1;
  }
  // Full screen on `display`: with a null mode over the desktop as it is,
  // otherwise after switching the display to `mode`. False when it failed
  // (the window is then windowed again).
  virtual bool enter_fullscreen(int window, int display, const ui_display_mode* mode) {
    (void)window, (void)display, (void)mode;
    return false;
  }
  // Back to a window; the display gets its desktop mode back.
  virtual bool leave_fullscreen(int window) {
    (void)window;
    return false;
  }
  // The outer top-left corner in screen coordinates.
  virtual bool window_position(int window, int* x, int* y) {
    (void)window, (void)x, (void)y;
    return false;
  }
  virtual void move_window(int window, int x, int y) { (void)window, (void)x, (void)y; }
  // What the frame adds around the client: left, top (with a menu bar), right, bottom.
  virtual bool window_frame_extents(int window, int* left, int* top, int* right, int* bottom) {
    (void)window;
    *left = *top = *right = *bottom = 0;
    return false;
  }
  // Smallest and largest client the user may drag the window to (0: no limit).
  virtual void set_window_size_limits(int window, int min_width, int min_height, int max_width, int max_height) {
    (void)window, (void)min_width, (void)min_height, (void)max_width, (void)max_height;
  }
  virtual void set_window_resizable(int window, bool resizable) { (void)window, (void)resizable; }
  // Whole-window opacity 0 (invisible) .. 255 (opaque).
  virtual void set_window_opacity(int window, int alpha) { (void)window, (void)alpha; }
  // Draws the user's attention: `count` flashes `interval_ms` apart (0: the system's pace).
  virtual void flash_window(int window, int count, int interval_ms) { (void)window, (void)count, (void)interval_ms; }
  virtual void set_window_stacking(int window, ui_stacking where) { (void)window, (void)where; }
  // The window shows only these client rectangles; an empty list removes the shape.
  virtual bool set_window_shape(int window, const std::vector<ui_rect>& rects) {
    (void)window, (void)rects;
    return false;
  }
  virtual void minimise_window(int window) { (void)window; }
  virtual void maximise_window(int window) { (void)window; }
  virtual bool window_minimised(int window) {
    (void)window;
    return false;
  }
  virtual bool window_maximised(int window) {
    (void)window;
    return false;
  }
  // Moves the cursor to a screen point.
  virtual void warp_cursor(int screen_x, int screen_y) { (void)screen_x, (void)screen_y; }
  // Told (on the thread that found it) when the display connection is lost
  // for good; the platform then ends the process with status 1, so the
  // handler only records what it must and returns.
  virtual void set_display_lost_handler(void (*handler)(const char* what)) { (void)handler; }
  // ---- a picture over the client area (a movie), above whatever present()
  // draws, until it is cleared: the child video window of the original.
  // Shows a BGRA picture (its own size, rows `stride` bytes apart) with its
  // top-left corner at client point (x, y), replacing the one shown before.
  virtual void show_overlay(int window, const uint8_t* bgra, int width, int height, int stride, int x, int y) {
    (void)window, (void)bgra, (void)width, (void)height, (void)stride, (void)x, (void)y;
  }
  virtual void clear_overlay(int window) { (void)window; }
};

// ---------------------------------------------------------------- AudioDevice

// PCM layout of one sound buffer: interleaved little-endian samples, 8-bit
// unsigned or 16/24/32-bit signed, one or two channels.
struct audio_buffer_format {
  uint16_t channels = 0;
  uint32_t rate = 0;  // frames per second
  uint16_t bits = 0;
  uint16_t block_align = 0;  // bytes per frame: channels * bits / 8
};

// A looping ring of PCM bytes played by the device's mixer, with the cursors,
// volume, pan and frequency controls the sound player streams through.
class AudioBuffer {
 public:
  virtual ~AudioBuffer() = default;
  virtual uint32_t size() const = 0;  // bytes
  // Play cursor: the byte the mixer reads next; write cursor: the first byte
  // that is safe to overwrite (never behind the play cursor).
  virtual bool get_cursors(uint32_t* play, uint32_t* write) = 0;
  // Copies bytes into the ring at `offset`, wrapping at the end.
  virtual bool write(uint32_t offset, const void* data, uint32_t length) = 0;
  // Copies bytes out of the ring at `offset`, wrapping at the end.
  virtual bool read(uint32_t offset, void* out, uint32_t length) = 0;
  // Starts from the current play cursor; a buffer that does not loop stops at its end.
  virtual bool play(bool looping) = 0;
  virtual bool stop() = 0;  // keeps the play cursor
  virtual bool playing() const = 0;
  // Attenuation in hundredths of a decibel, -10000 (silent) .. 0.
  virtual bool set_volume(int32_t hundredths_db) = 0;
  // -10000 (right silent) .. 0 (centre) .. 10000 (left silent).
  virtual bool set_pan(int32_t hundredths_db) = 0;
  // Playback rate in frames per second (0 = the buffer's own rate).
  virtual bool set_frequency(uint32_t rate) = 0;
  virtual int32_t volume() const = 0;
  virtual int32_t pan() const = 0;
  virtual uint32_t frequency() const = 0;
};

// A sound device of the system as the environment report lists it.
struct audio_device_info {
  std::string name;  // UTF-8
  int channels = 0;
  int rate = 0;  // frames per second it prefers, 0 when unknown
  int bits = 0;  // sample bits it prefers
};

// A stream the mixer pulls from a producer (a movie's sound), mixed beside the
// buffers at the device's output rate.
class AudioStream {
 public:
  virtual ~AudioStream() = default;
  // Frames the mixer has taken so far; the device first mixes up to now (the
  // headless device renders up to the virtual clock), so this is the clock of
  // what a listener has heard.
  virtual uint64_t frames_played() = 0;
  // Attenuation in hundredths of a decibel, -10000 (silent) .. 0.
  virtual bool set_volume(int32_t hundredths_db) = 0;
  // A paused stream is not pulled and its clock stands still.
  virtual void set_paused(bool paused) = 0;
};

// Fills `out` with up to `frames` interleaved stereo 16-bit frames at the
// device's output rate and returns how many it gave (the rest is silence).
// Called by the mixer under its lock: it must not call into the device.
using audio_stream_source = std::function<size_t(int16_t* out, size_t frames)>;

// One output stream with one software mixer under it.
class AudioDevice {
 public:
  virtual ~AudioDevice() = default;
  // The system's playback (or recording) devices; empty when it cannot tell.
  virtual std::vector<audio_device_info> list_devices(bool recording) {
    (void)recording;
    return {};
  }
  // Starts the output; false when there is no usable audio output.
  virtual bool open() = 0;
  virtual void close() = 0;
  virtual int output_rate() const = 0;
  // A silent buffer of `bytes` (rounded down to whole frames); null on failure.
  virtual std::unique_ptr<AudioBuffer> create_buffer(const audio_buffer_format& format, uint32_t bytes) = 0;
  // A stream pulled from `source`, paused until set_paused(false); null when
  // the device cannot mix one.
  virtual std::unique_ptr<AudioStream> create_stream(audio_stream_source source) {
    (void)source;
    return nullptr;
  }
};

// ---------------------------------------------------------------- AudioDecoder

// The format block of a WAV file's "fmt " chunk, as stored.
struct wave_stream_format {
  uint16_t format_tag = 0;
  uint16_t channels = 0;
  uint32_t rate = 0;
  uint32_t bytes_per_second = 0;
  uint16_t block_align = 0;
  uint16_t bits = 0;
  std::vector<uint8_t> extra;  // the bytes after the 18-byte block (cbSize of them)
};

// 16-bit signed interleaved PCM, one or two channels.
struct decoded_pcm {
  uint16_t channels = 0;
  uint32_t rate = 0;
  std::vector<uint8_t> samples;
};

enum : int { audio_decode_ok = 0, audio_decode_no_decoder = -1, audio_decode_broken = -2 };

// The system's audio conversion service: turns the data chunk of a WAV file
// in any format it knows into 16-bit PCM, mixing more than two channels down
// to stereo.
class AudioDecoder {
 public:
  virtual ~AudioDecoder() = default;
  virtual int decode_wave(const wave_stream_format& format, const uint8_t* data, size_t size, decoded_pcm& out) = 0;
};

// ---------------------------------------------------------------- FontRasterizer

// One installed face as the font list shows it.
struct font_face_info {
  std::string name;          // Shift-JIS
  uint8_t non_japanese = 1;  // 0 when the face covers Japanese
  uint8_t pitch = 1;         // 1 default or variable pitch, 0 fixed pitch, 255 other
};

// A face opened at one cell height.
class RasterFont {
 public:
  virtual ~RasterFont() = default;
  // Draws a Shift-JIS text (a character is 1 or 2 bytes) the way the glyph
  // code expects of a text-out on a one-bit bitmap: the character cell's
  // top-left corner at (x, y), ink clears bits (black on white) and paper bits
  // stay as they are. `bits` holds `height` rows of `stride_bytes`, bit 7 of a
  // byte being its left-most pixel; nothing is drawn outside `width` x
  // `height`. Returns the pen advance in pixels.
  virtual int draw_text(std::string_view sjis, int x, int y, uint8_t* bits, int stride_bytes, int width,
                        int height) = 0;
  // Ascent + descent in pixels: the requested cell height.
  virtual int cell_height() const = 0;
};

class FontRasterizer {
 public:
  virtual ~FontRasterizer() = default;
  // Every face scripts can choose, in a stable order. Japanese faces are
  // also listed under the face names games ask for ("ＭＳ ゴシック", ...).
  virtual std::vector<font_face_info> list_faces() = 0;
  // A face (a name of list_faces(), or any other: the closest installed face
  // then serves) at `cell_height` pixels, weight 700 when bold, else 400.
  // Null when no face can be opened.
  virtual std::unique_ptr<RasterFont> open_font(const std::string& face_sjis, int cell_height, bool bold) = 0;
};

// ---------------------------------------------------------------- MoviePlayer

// Where a movie is drawn: a rectangle of a game window's client area.
struct movie_rect {
  int x = 0, y = 0, width = 0, height = 0;
};

// One movie at a time, decoded on a thread of its own and timed by its sound:
// its picture is drawn over a game window through the Ui, its sound is one
// more stream of the audio device's mixer. When it ends (last frame shown,
// sound played out, or the decoder gave up part-way) a msg_movie_event for
// window 0 is posted to the Ui's queue.
class MoviePlayer {
 public:
  virtual ~MoviePlayer() = default;
  // Closes any movie, opens `host_path` (UTF-8) and plays it from its start
  // into `rect` of `window` at `volume` (hundredths of a decibel, -10000..0).
  // False, with the reason in `error`, when nothing in the file can be played.
  virtual bool play(const std::string& host_path, int window, const movie_rect& rect, int32_t volume,
                    std::string* error) = 0;
  // Holds the movie: the picture stays, the sound stops.
  virtual void stop() = 0;
  // Ends the movie and takes its picture away.
  virtual void close() = 0;
  virtual void set_volume(int32_t hundredths_db) = 0;
  virtual void set_rect(const movie_rect& rect) = 0;
  // Shows the frame due by the movie's clock; the frame loop calls it once a
  // frame while the movie plays.
  virtual void update() = 0;
  // True once after the movie ended; `reason` is empty for a normal end, else
  // why the decoder gave up.
  virtual bool take_end(std::string* reason) = 0;
};

// ---------------------------------------------------------------- FlashBackend

// One Flash movie shown in a child area of the main window.
class FlashMovie {
 public:
  virtual ~FlashMovie() = default;
  virtual int64_t total_frames() = 0;
  virtual int64_t current_frame() = 0;
  virtual bool playing() = 0;
  // A root variable's text; false when the movie has none of that name.
  virtual bool get_variable(const std::string& name_sjis, std::string& value_sjis) = 0;
};

// Plays Flash movies. The shipped backend has no player: open_movie makes no
// instance.
class FlashBackend {
 public:
  virtual ~FlashBackend() = default;
  // Starts the movie file (host path) in the client rectangle of window 0;
  // null when no movie can be made.
  virtual std::unique_ptr<FlashMovie> open_movie(const std::string& path_host, int x, int y, int width,
                                                 int height) = 0;
};

// ---------------------------------------------------------------- MemoryHints

// Advice on how the host backs memory the engine allocated; a host that
// ignores it changes only the speed.
class MemoryHints {
 public:
  virtual ~MemoryHints() = default;
  // Back the whole large pages inside [data, data + size) with large pages
  // where the host can: a table read at random spots then costs far fewer
  // address-translation misses. Called before the memory is first written.
  virtual void prefer_large_pages(void* data, size_t size) = 0;
};

// The size and alignment of the large pages that prefer_large_pages aims at.
constexpr size_t large_page_size = size_t{2} << 20;

// The installed platform's hint; nothing without a platform or the service.
void prefer_large_pages(void* data, size_t size);

// ---------------------------------------------------------------- Platform

// Hands out the services. main() installs one with the real backends; tests
// install one with the headless backends. Services of later subsystems are
// added here as they are built.
struct Platform {
  Clock* clock = nullptr;
  HostFiles* files = nullptr;
  Process* process = nullptr;
  DynamicLibrary* libraries = nullptr;
  Ui* ui = nullptr;
  AudioDevice* audio = nullptr;
  FontRasterizer* fonts = nullptr;
  SharedMemory* shared_memory = nullptr;
  FlashBackend* flash = nullptr;
  AudioDecoder* audio_decoder = nullptr;
  GpuSystem* gpu = nullptr;  // null: no GPU drawing
  MoviePlayer* movies = nullptr;
  MemoryHints* memory = nullptr;  // null: no hints
};

Platform& platform();
void install_platform(Platform* p);
bool platform_installed();
