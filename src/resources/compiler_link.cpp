#include "resources/compiler_link.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/sjis.h"
#include "format/byte_io.h"
#include "platform/platform.h"
#include "resources/pack_archive.h"

compiler_link_table_record compiler_link_table;
compiler_link_hooks_record compiler_link_hooks;

namespace {

const std::string& text_cannot_start() {
  static const std::string t = utf8_to_sjis("ZARVIKコンパイラを起動できませんでした。");
  return t;
}
const std::string& text_no_communication() {
  static const std::string t = utf8_to_sjis("ZARVIKコンパイラとデータ通信が出来ませんでした。");
  return t;
}

// Waiting on another program takes real time, whatever clock the platform runs.
void sleep_10ms() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }

// While the link waits, a close of the program (the window manager, a signal)
// or a report with quit set ends the wait. Other events are handed back to
// the Ui afterwards for the message loop.
struct quit_watch {
  std::vector<ui_event> kept;
  bool requested() {
    if (quit_flag) return true;
    if (!platform().ui) return false;
    ui_event e;
    while (platform().ui->poll_event(e)) {
      if (e.message == msg_close || e.message == msg_quit || e.message == msg_destroy) {
        quit_flag = 1;
        return true;
      }
      kept.push_back(e);
    }
    return false;
  }
  ~quit_watch() {
    if (platform_installed() && platform().ui)
      for (const ui_event& e : kept) platform().ui->post_event(e);
  }
};

std::string without_trailing_slash(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

// The folder the compiler handed back becomes the root of relative game
// paths; packs keep opening from the program's folder.
void move_to_game_path(std::string* game_path, const std::string& returned) {
  HostFiles* files = platform().files;
  const std::string old_folder = files->game_folder_host();
  const std::string target = files->host_path(returned);
  if (returned.empty() || !files->set_game_folder_host(target)) {
    // Not a folder: the working folder stays, and so does the game path.
    return;
  }
  *game_path = returned;
  if (without_trailing_slash(files->game_folder_host()) != without_trailing_slash(old_folder))
    pack_folder_prefix = utf8_to_sjis(old_folder);
}

}  // namespace

void reset_compiler_link_table() { compiler_link_table = compiler_link_table_record{}; }

int install_compiler_link_table(std::vector<uint8_t> block, uint32_t count) {
  reset_compiler_link_table();
  compiler_link_table.block = std::move(block);
  std::vector<compiler_link_record> entries;
  if (parse_compiler_link_block(compiler_link_table.block.data(), compiler_link_table.block.size(), count, entries) !=
      0) {
    reset_compiler_link_table();
    return -1;
  }
  compiler_link_table.count = count;
  compiler_link_table.entries = std::move(entries);
  return 0;
}

int find_in_mapped_list(resource_locator& locator, std::string_view name) {
  for (size_t i = 0; i < compiler_link_table.entries.size(); ++i) {
    if (!ascii_iequal(compiler_link_table.entries[i].name, name)) continue;
    locator.state = resource_in_link_table;
    locator.link_index = static_cast<int32_t>(i);
    locator.type = 0;
    return resource_in_link_table;
  }
  return 0;
}

int read_entry_from_mapped_list(resource_locator& locator, std::string_view name) {
  if (locator.link_index < 0 || static_cast<size_t>(locator.link_index) >= compiler_link_table.entries.size())
    return -3;
  const compiler_link_record& e = compiler_link_table.entries[locator.link_index];
  try {
    locator.data.assign(e.data, e.data + e.size);
  } catch (const std::bad_alloc&) {
    report_error_fmt(104030, 1, std::string(name));
    return -3;
  }
  locator.size = e.size;
  return 0;
}

int run_compiler_link(std::string* game_path) {
  Platform& p = platform();
  HostFiles* files = p.files;

  // 1. The compiler must be there.
  if (files->kind(compiler_program_path) != host_entry_kind::file) {
    error_dialog_title = utf8_to_sjis("License Information");
    report_error(100000, 1);
    return 1;
  }

  // 2. Block A: cleared, the version and the game folder. A path that does
  // not fit the block is refused rather than written past its end.
  const std::string scope = files->game_folder_host();
  std::unique_ptr<SharedMemoryBlock> block_a;
  if (p.shared_memory && game_path->size() <= link_game_path_max)
    block_a = p.shared_memory->create(compiler_link_block_a_name, scope, compiler_link_block_a_size);
  if (!block_a || block_a->size() < compiler_link_block_a_size) {
    show_message_box("", text_no_communication());
    return -1;
  }
  uint8_t* a = block_a->data();
  std::memset(a, 0, compiler_link_block_a_size);
  put_u32(a + link_version_offset, link_version);
  write_link_game_path(a, *game_path);

  // 3. The compiler, by argv, in the game folder.
  std::unique_ptr<ChildProcess> compiler;
  if (p.process) compiler = p.process->start_child({files->host_path(compiler_program_path), "kx"}, scope);
  if (!compiler) {
    block_a.reset();
    show_message_box("", text_cannot_start());
    return 1;
  }

  // 4. The one-time tables while the compiler works.
  sleep_10ms();
  if (compiler_link_hooks.while_compiling) compiler_link_hooks.while_compiling();

  // 5. Ready, or the compiler gave up.
  quit_watch quit;
  for (;;) {
    // Ready first: a compiler may set the flag and end before the next look.
    if (load_link_flag(a, link_ready_offset) == 1) break;
    if (!compiler->running()) return 1;
    if (quit.requested()) {
      compiler->terminate();
      return 1;
    }
    sleep_10ms();
  }

  // 6. Block B, then the acknowledgement.
  const uint32_t count = load_link_flag(a, link_file_count_offset);
  const uint32_t declared_size = load_link_flag(a, link_block_b_size_offset);
  const size_t size_b = declared_size ? declared_size : compiler_link_empty_block_b_size;
  std::unique_ptr<SharedMemoryBlock> block_b = p.shared_memory->create(compiler_link_block_b_name, scope, size_b);
  if (!block_b) {
    compiler->terminate();
    show_message_box("", text_no_communication());
    return -1;
  }
  // A new block is zero-filled already: clearing it again would only commit
  // the memory of a large declared size.
  store_link_flag(a, link_ack_offset, 1);

  // 7. The compiler writes block B and ends; no time limit, only a quit.
  while (compiler->running()) {
    if (quit.requested()) {
      compiler->terminate();
      return 1;
    }
    sleep_10ms();
  }

  // 8. The player's own copy of block B, walked with every length bounded.
  if (count > 0 && declared_size > 0) {
    std::vector<uint8_t> copy;
    try {
      copy.assign(block_b->data(), block_b->data() + size_b);
    } catch (const std::bad_alloc&) {
      show_message_box("", text_no_communication());
      return -1;
    }
    if (install_compiler_link_table(std::move(copy), count) != 0) {
      show_message_box("", text_no_communication());
      return -1;
    }
  }

  // 9. The result and the game path; both blocks released (and their names removed).
  const uint8_t result = a[link_result_offset];
  const std::string returned = read_link_game_path(a);
  block_b.reset();
  block_a.reset();

  // 10. A failed compilation ends the start-up without a word.
  if (result != 1) {
    reset_compiler_link_table();
    return 1;
  }
  move_to_game_path(game_path, returned);
  return 0;
}
