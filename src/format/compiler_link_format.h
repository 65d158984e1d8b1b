// The two shared blocks of the compiler link, byte by byte: block A (the
// handshake, 512 bytes) and block B (the compiled files, records back to
// back). Shared by the player and by kxtool in the compiler's role.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The designed names; the platform makes them per user and per game folder.
inline constexpr const char compiler_link_block_a_name[] = "ZARVIKCompilerFileMapObject";
inline constexpr const char compiler_link_block_b_name[] = "ZARVIKCompilerFileMapObject2";

// Block A layout (little-endian).
inline constexpr size_t compiler_link_block_a_size = 512;
inline constexpr size_t link_ready_offset = 0;        // u32, compiler: 1 when count and size are set
inline constexpr size_t link_ack_offset = 4;          // u32, player: 1 once block B exists
inline constexpr size_t link_result_offset = 12;      // u8, compiler: 1 = compilation succeeded
inline constexpr size_t link_file_count_offset = 16;  // u32, compiler
inline constexpr size_t link_block_b_size_offset = 20;  // u32, compiler
inline constexpr size_t link_version_offset = 128;    // u32, player: 553
inline constexpr size_t link_game_path_offset = 132;  // zero-terminated game path
inline constexpr size_t link_game_path_field = 380;   // bytes of the path field
// The longest path that still leaves its terminator inside the block.
inline constexpr size_t link_game_path_max = link_game_path_field - 1;
inline constexpr uint32_t link_version = 553;
// Block B's size when block A gives 0.
inline constexpr size_t compiler_link_empty_block_b_size = 16;

// The u32 flags of block A as the other program sees them: the compiler
// publishes count and size before it sets the ready flag, the player creates
// block B before it sets the acknowledgement. `block` is the mapping's start
// (page aligned) and the offset a multiple of 4.
uint32_t load_link_flag(uint8_t* block, size_t offset);
void store_link_flag(uint8_t* block, size_t offset, uint32_t value);

// One compiled file of block B. The views point into the block they were
// parsed from.
struct compiler_link_record {
  std::string_view name;  // without its terminator
  const uint8_t* data = nullptr;
  uint32_t size = 0;
};

// Walks `count` records of block B. Every name length and data length is
// bounded by what is left of the block; a name length of 0 (no room for the
// terminator) and a record running past the block are damage. The name is
// taken up to its first zero byte inside its n bytes. 0 with every record in
// `out`, -1 on damage (`out` is then empty).
int parse_compiler_link_block(const uint8_t* block, size_t size, uint32_t count,
                              std::vector<compiler_link_record>& out);

// Block B as the compiler writes it: per file u32 n (name bytes + 1), the name
// and its zero, u32 d, the d bytes.
struct compiler_link_file {
  std::string name;  // Shift-JIS, as the resource locator spells it ("kxbin\kxt.kbn")
  std::vector<uint8_t> bytes;
};
std::vector<uint8_t> write_compiler_link_block(const std::vector<compiler_link_file>& files);

// The game path of block A: at most link_game_path_max bytes up to the first
// zero, never past the field.
std::string read_link_game_path(const uint8_t* block_a);
// Writes the path and its terminator (false, nothing written, when the path is
// longer than link_game_path_max or holds a zero byte).
bool write_link_game_path(uint8_t* block_a, std::string_view path);
