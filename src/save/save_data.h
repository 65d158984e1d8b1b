// Save data: staged values, the 500 memory save slots, the serialisation
// buffer, and the steps that move values between them, save files and the
// variables and layers they come from. The container's byte layout lives in
// format/save_container.h; the script commands in save/save_commands.h.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "format/save_container.h"

struct object_node;

// One staged entry per VAL_ID (index VAL_ID - 1): kind, 1, 0, 0, packed size,
// unpacked size, packed bytes. Empty = nothing staged. Index 1023 also holds
// the memory-slot image.
struct staged_values_record {
  std::vector<uint8_t> entry[save_value_count];
};
extern staged_values_record staged_values;

// Slots 0..499 are used; a buffer once allocated lives until the process ends.
constexpr int memory_slot_table_size = 501;
struct memory_save_slots_record {
  uint8_t* buffer[memory_slot_table_size];
  uint32_t capacity[memory_slot_table_size];
  uint32_t length[memory_slot_table_size];
  uint32_t cursor[memory_slot_table_size];
};
extern memory_save_slots_record memory_save_slots;

// Where payloads are built before packing: at least 1 MiB once used, only grows
// (a variable to twice the size needed, a layer picture to exactly its size).
constexpr size_t save_scratch_initial = 1048576;
struct save_scratch_record {
  std::vector<uint8_t> bytes;
};
extern save_scratch_record save_scratch;

// The layer side of saving, over cg_record (save/save_layers.cpp fills it;
// tests put stand-ins here). Null entries make layer values unavailable (the
// layer path is then reported as naming no layer).
struct save_layer_hooks_record {
  // The picture of a layer: the 1640-byte image of its picture record, its
  // size and pixels (width*4 bytes per row, top row first). 0, or -1 when the
  // node has no picture record.
  int (*picture_of)(object_node* node, uint8_t* record_image, int32_t* width, int32_t* height,
                    const uint8_t** pixels) = nullptr;
  // Installs a loaded picture as the layer `resolved_path` (whose node was
  // `node` when the load began): marks the layer dirty, makes the node a new
  // picture record of the saved size (other attributes as a new record has
  // them), hands it `block` (malloc'd, width*4*height + width*4 + 4 bytes,
  // already filled) and releases the old record. 0 when installed (the block
  // is the record's); -1 (reported) with the layer and its old picture as
  // they were and the block still the caller's.
  int (*install_picture)(object_node* node, const std::string& resolved_path, int32_t width, int32_t height,
                         uint8_t* block) = nullptr;
  // Frame pacing's last-load time (stamp_load_time); may stay null.
  void (*stamp_load_time)() = nullptr;
};
extern save_layer_hooks_record save_layer_hooks;

// Index -1 frees all 1024 staged values, 0..1023 (VAL_ID - 1) that one.
void free_staged_values(int index);

// Unpacked payload size + 12 of a value, in 64 bits: a layer of width x height,
// a whole variable, or one element of it. 0 when the variable cannot be saved
// (undeclared, or the element lies outside it).
uint64_t variable_save_size(uint32_t variable_id, bool is_layer, int64_t element, bool whole, int32_t width,
                            int32_t height);

// What a save command stages: a layer's picture or a variable (whole or one
// element). `command_name` and `val_id_name` go into messages.
struct save_value_source {
  object_node* layer = nullptr;  // set: the layer's picture
  uint32_t variable_id = 0;
  int64_t element = 0;
  bool whole = false;
};

// Serialises, packs and stages a value under `val_id` (1..1023). 0, or -1
// after reporting; nothing is staged on failure.
int stage_save_value(uint32_t val_id, const save_value_source& source, const std::string& command_name,
                     const std::string& val_id_name);

// Packs all 500 memory slots into the memory-slot image staged as VAL_ID
// 1024, replacing what was staged there. 0, or -1 (message shown).
int build_memory_save_image();

// Writes every staged value into the save file at `game_path` through a
// temporary file renamed over the old one (new, appended or rewritten
// container), then frees the staged values. On failure the old file and the
// staged values stay. 0 or -1 (reported).
int write_staged_values_to_file(const std::string& game_path, const std::string& command_name);

// Rebuilds memory slot 0..499 from the staged values 1..1023, then frees the
// staged values. 0 or -1 (message shown; the slot is unchanged).
int write_staged_values_to_slot(int slot);

// A load request: which value, where from and into what.
struct save_load_request {
  uint32_t val_id = 0;
  bool from_file = true;       // files restore the memory slots from VAL_ID 1024
  object_node* layer = nullptr;  // set: load a picture into this layer
  std::string layer_path;        // its resolved path
  uint32_t variable_id = 0;
  int64_t element = 0;
  bool whole = false;
  std::string command_name;   // for messages
  std::string val_id_name;    // the VAL_ID parameter's name
};

// Loads one value from a container (a save file's bytes, or a memory slot's).
// Everything is checked before anything changes: a failed load leaves the
// variable, the layer and the memory slots as they were. Returns the command's
// result: 0 (also for an absent value, after 102110, and an oversize
// picture), or -1.
int load_saved_value(const uint8_t* container, uint64_t size, const save_load_request& request);

// Restores all 500 memory slots from a memory-slot image entry (file only).
// Every record is unpacked into temporaries and the totals checked before
// any slot changes. 0 or -1 (message shown).
int load_memory_slot_bundle(const save_entry_view& entry);
