// kxtool compile-link: the compiler's side of the player's development run.
// The player starts the compiler in the game folder and waits; this opens the
// two shared blocks, assembles the game folder's listing "main.txt", hands
// every compiled file over through block B and reports the result. kxtool
// does the same when it is started under the compiler's name (the player's
// "system/ZIVer/ZIVer"), so a link or copy of kxtool placed there serves.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/sjis.h"
#include "format/byte_io.h"
#include "format/compiler_link_format.h"
#include "format/pack_format.h"
#include "format/script_assembler.h"
#include "platform/posix/host_files.h"
#include "platform/posix/shared_memory.h"

namespace {

constexpr const char listing_name[] = "main.txt";
// The player acknowledges at once; a player that never does is gone.
constexpr int ack_wait_limit_ms = 60000;

// Strict UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool valid_utf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    int extra;
    uint32_t v;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, v = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, v = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, v = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= static_cast<size_t>(extra)) return false;
    for (int k = 1; k <= extra; ++k) {
      const unsigned char t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      v = v << 6 | (t & 0x3F);
    }
    if ((extra == 2 && (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF))) || (extra == 3 && (v < 0x10000 || v > 0x10FFFF)))
      return false;
    i += static_cast<size_t>(extra) + 1;
  }
  return true;
}

std::string with_slash(std::string s) {
  if (s.empty() || s.back() != '/') s += '/';
  return s;
}

std::string current_folder() {
  std::vector<char> buf(4096);
  while (!::getcwd(buf.data(), buf.size())) {
    if (errno != ERANGE) return "./";
    buf.resize(buf.size() * 2);
  }
  return with_slash(buf.data());
}

struct compile_outcome {
  uint8_t result = 0;
  std::vector<compiler_link_file> files;
};

// The game path's listing assembled into the game's compiled files. A folder
// without a listing hands over nothing: its own loose compiled files serve.
compile_outcome compile_game(const std::string& game_folder_host) {
  compile_outcome out;
  PosixHostFiles folder(game_folder_host);
  std::vector<uint8_t> bytes;
  if (folder.kind(listing_name) != host_entry_kind::file) {
    std::fprintf(stderr, "kxtool compile-link: no %s in %s; the folder's own compiled files serve\n", listing_name,
                 game_folder_host.c_str());
    out.result = 1;
    return out;
  }
  if (!folder.read_file(listing_name, bytes)) {
    std::fprintf(stderr, "kxtool compile-link: cannot read %s\n", folder.host_path(listing_name).c_str());
    return out;
  }
  std::string text(bytes.begin(), bytes.end());
  // UTF-8 listings are converted; anything else is taken as Shift-JIS, as
  // the scripts of older games are.
  if (valid_utf8(text)) text = utf8_to_sjis(text);
  assembler_options options;
  options.code_key = derive_code_file_key();
  assemble_result r = assemble_listing(text, options);
  if (!r.ok) {
    for (const assembler_diagnostic& d : r.errors)
      std::fprintf(stderr, "%s:%u: %s\n", folder.host_path(listing_name).c_str(), d.line,
                   sjis_to_utf8(d.message).c_str());
    std::fprintf(stderr, "kxtool compile-link: %zu error(s); the game does not start\n", r.errors.size());
    return out;
  }
  for (assembled_file& f : r.files) out.files.push_back({f.name, std::move(f.bytes)});
  out.result = 1;
  return out;
}

// The handshake with a waiting player whose blocks are scoped to `scope_folder`.
int run_link(const std::string& scope_folder) {
  PosixSharedMemory shared;
  std::unique_ptr<SharedMemoryBlock> block_a = shared.open(compiler_link_block_a_name, scope_folder);
  if (!block_a || block_a->size() < compiler_link_block_a_size) {
    std::fprintf(stderr, "kxtool compile-link: no player is waiting for a compiler in %s\n", scope_folder.c_str());
    return 1;
  }
  uint8_t* a = block_a->data();
  compile_outcome outcome;
  if (get_u32(a + link_version_offset) != link_version) {
    std::fprintf(stderr, "kxtool compile-link: the player speaks link version %u, not %u\n",
                 get_u32(a + link_version_offset), link_version);
  } else {
    std::string game_path = sjis_to_utf8(read_link_game_path(a));
    if (game_path.empty() || game_path[0] != '/') game_path = scope_folder + game_path;
    outcome = compile_game(with_slash(game_path));
  }

  const std::vector<uint8_t> records = write_compiler_link_block(outcome.files);
  if (records.size() > UINT32_MAX) {
    std::fprintf(stderr, "kxtool compile-link: the compiled files pass 4 GiB\n");
    outcome.result = 0;
    outcome.files.clear();
  }
  const uint32_t count = outcome.result == 1 ? static_cast<uint32_t>(outcome.files.size()) : 0;
  const uint32_t size = count ? static_cast<uint32_t>(records.size()) : 0;
  a[link_result_offset] = outcome.result;
  put_u32(a + link_file_count_offset, count);
  put_u32(a + link_block_b_size_offset, size);
  store_link_flag(a, link_ready_offset, 1);

  // The player makes block B and acknowledges.
  const pid_t parent = ::getppid();
  bool acknowledged = false;
  for (int waited = 0; waited < ack_wait_limit_ms && ::getppid() == parent; waited += 10) {
    if (load_link_flag(a, link_ack_offset) == 1) {
      acknowledged = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!acknowledged) {
    std::fprintf(stderr, "kxtool compile-link: the player did not answer\n");
    return 1;
  }
  if (count) {
    std::unique_ptr<SharedMemoryBlock> block_b = shared.open(compiler_link_block_b_name, scope_folder);
    if (!block_b || block_b->size() < records.size()) {
      std::fprintf(stderr, "kxtool compile-link: the player's file block is missing or too small\n");
      return 1;
    }
    std::memcpy(block_b->data(), records.data(), records.size());
  }
  if (outcome.result == 1) std::printf("kxtool compile-link: %u compiled file(s) handed over\n", count);
  return outcome.result == 1 ? 0 : 1;
}

}  // namespace

int kxtool_compile_link(const std::vector<std::string>& args) {
  if (args.size() > 1 || (args.size() == 1 && !args[0].empty() && args[0][0] == '-')) {
    std::fprintf(stderr, "usage: kxtool compile-link [GAME_FOLDER]\n");
    return 2;
  }
  std::string folder = args.empty() ? current_folder() : with_slash(args[0]);
  if (folder[0] != '/') folder = current_folder() + folder;
  return run_link(folder);
}

bool started_as_compiler(const char* argv0) {
  if (!argv0) return false;
  const char* slash = std::strrchr(argv0, '/');
  std::string name = slash ? slash + 1 : argv0;
  for (char& c : name) c = static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
  return name == "ziver" || name == "ziver.exe";
}

int kxtool_as_compiler() {
  // The player starts the compiler in the game folder with the argument "kx".
  return run_link(current_folder());
}
