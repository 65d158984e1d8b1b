// The resource locator: turns a resource name into one block of bytes from the
// memory caches, the compiler-link table, the packs or loose files, and keeps
// the memory caches.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Where a resource was found.
enum : int8_t {
  resource_nowhere = 0,
  resource_loose_file = 1,
  resource_in_pack = 2,
  resource_in_link_table = 3,
  resource_in_memory_cache = 4,
};

// Resource kinds of the resolver.
enum : int { resource_kind_image = 0, resource_kind_sound = 1, resource_kind_any = 9 };

struct resource_locator {
  uint32_t size = 0;           // bytes of `data`, set by the reader
  std::vector<uint8_t> data;   // set by the reader; the caller owns it
  int8_t state = resource_nowhere;
  uint8_t type = 0;            // resource type (pack entry, cache slot, or the name)
  int32_t entry_index = -1;    // state 2
  int32_t pack_index = -1;     // state 2
  uint64_t position = 0;       // state 2: just behind the entry's type byte
  int32_t link_index = -1;     // state 3
  int32_t cache_group = -1;    // state 4
  int32_t cache_slot = -1;     // state 4
};

constexpr int memory_cache_groups = 4;
constexpr int memory_cache_slots = 512;

struct memory_cache_slot {
  std::string name;  // the resolved name
  std::vector<uint8_t> data;
  uint32_t size = 0;
  uint8_t type = 0;
};
struct memory_cache_group {
  std::vector<memory_cache_slot> slots;  // age order: slot 0 is the oldest
  uint64_t byte_total = 0;
};
struct resource_memory_caches_record {
  std::array<memory_cache_group, memory_cache_groups> groups;
};
extern resource_memory_caches_record resource_memory_caches;

// Normalises `in_name` (its '\' become '/' first, as the caller's buffer did),
// probes extensions by kind and fills the locator. `out_name` receives the
// resolved name (with the extension found, or the last one tried).
// 0 found, 1 not found, -1 failure.
int resolve_resource_name(resource_locator& locator, std::string& out_name, std::string& in_name, int kind);

// The four sources for one exact name. The state of the source that answered
// (1..4), 0 none, -2 from the pack search. With `want_type` a loose file gets
// its type from its name.
int locate_resource(resource_locator& locator, std::string_view name, bool want_type);

// Readers by the locator's state: 0 with size and data set, negative after a
// report.
int read_entry_from_loose_file(resource_locator& locator, std::string_view name);
// read_entry_from_mapped_list and find_in_mapped_list: resources/compiler_link.h
int read_entry_from_memory_cache(resource_locator& locator, std::string_view name);
// Dispatches on the state; any other state is a failure (-3, no report).
int read_located_resource(resource_locator& locator, std::string_view name);

// Puts a resource into memory-cache group 0..3. 0 done (or not found: nothing
// happens), -1 failure.
int preload_resource(int group, std::string& in_name, int kind);

int find_in_memory_caches(resource_locator& locator, std::string_view name);
bool loose_file_exists(std::string_view name);

// The name rule of the resolver: '\' and '/' as separators, "." and ".."
// resolved, a leading ':' or '/' dropped, a trailing '/' dropped, lower case,
// '\' separators. Shift-JIS aware.
std::string normalise_resource_name(std::string_view name);

// Empties the caches and the link table (tests and restart).
void reset_resource_caches();
