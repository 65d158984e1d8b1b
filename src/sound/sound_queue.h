// The sound command queue: a ring of 1024 requests from the script commands
// and start-up to the sound thread, which alone touches the device buffers.
#pragma once
#include <atomic>
#include <cstdint>

#include "sound/sound_player.h"
#include "core/object_tree.h"

constexpr int sound_queue_size = 1024;

enum : uint8_t {
  sound_request_kind_load = 1,
  sound_request_kind_play = 2,
  sound_request_kind_pause = 3,
  sound_request_kind_fade_out = 4,
  sound_request_kind_volume = 5,
  sound_request_kind_fade_target = 6,
  sound_request_kind_loop_count = 7,
  sound_request_kind_loop_end = 8,
  sound_request_kind_start = 9,
  sound_request_kind_loop_start = 10,
  sound_request_kind_pan = 11,
  sound_request_kind_frequency = 12,
  sound_request_kind_synchronise = 13,
  sound_request_kind_unload = 14,
};

struct sound_command_queue_record {
  object_node* node[sound_queue_size] = {};  // null: skip the entry
  uint8_t kind[sound_queue_size] = {};
  char name[sound_queue_size][sound_name_size] = {};
  int32_t argument[sound_queue_size] = {};
  std::atomic<int32_t> done[sound_queue_size] = {};
  int32_t read_index = 0;
  int32_t write_index = 0;
  int (*handlers[15])(int entry) = {};
};
extern sound_command_queue_record sound_command_queue;

// Clears the ring and fills handler slots 1..14.
void init_sound_queue();

// Puts a request into the ring under engine_lock. Returns the entry index, or
// -1 when the ring already holds 1023 pending requests: then error 110200 is
// reported (quit 0) and the request is dropped, so its caller must not wait.
// `name` (load requests) is copied up to 260 bytes.
int enqueue_sound_request(object_node* node, int kind, int32_t argument, const char* name = nullptr);

// Polls the entry's done flag every 1 ms. Returns true when the request
// finished, false when the wait was given up: quit is set, the sound thread is
// not running, or the entry index is -1.
bool wait_sound_request(int entry);
// Polls the record's state until it is idle, with the same give-up rules.
bool wait_sound_idle(sound_record* record);

// Runs the pending requests (sound thread, under engine_lock). Returns 0, or a
// negative handler result (fatal).
int run_sound_queue();
int pending_sound_requests();
