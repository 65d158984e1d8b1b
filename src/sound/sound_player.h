// The sound player: every sound is a `sound_record` hung on a node of the
// sound tree. Its whole file lives in memory; it plays through a looping
// one-second device buffer refilled half by half (Ogg Vorbis through
// libvorbisfile, WAV in place or converted once to PCM), with leading silence,
// loop regions and counts, fades, groups, volume, pan and frequency.
//
// Everything here runs on the sound thread under engine_lock, except creating
// records and reading fields for the query command.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "core/object_tree.h"

struct sound_record;

// The sound tree is the shared object tree (tree_sounds): an unnamed top node,
// the group "S0" and, beside it, the "ROOT" sound. The player reaches nodes
// only through these accessors; every change of the tree happens under
// engine_lock, as do the sound thread's walks.
inline object_node* sound_tree_root() { return object_trees[tree_sounds].root; }
inline object_node* sound_node_parent(object_node* n) { return n->parent; }
inline object_node* sound_node_first_child(object_node* n) { return n->first_child; }
inline object_node* sound_node_next_sibling(object_node* n) { return n->next_sibling; }
inline bool sound_node_is_group(const object_node* n) { return n->is_group != 0; }
inline sound_record* sound_node_record(object_node* n) { return static_cast<sound_record*>(n->kind_record); }
inline void set_sound_node_record(object_node* n, sound_record* r) { n->kind_record = r; }
inline uint32_t sound_node_key1(const object_node* n) { return n->key1; }
inline int32_t sound_node_key2(const object_node* n) { return n->key2; }
inline bool sound_node_is_top(const object_node* n) { return n->parent == nullptr; }

// Puts the sound kind's payload makers into object_tree_hooks: the top node and
// "S0" get a fresh sound_record when create_tree_roots makes them.
void install_sound_tree_hooks();
// Frees every node of the sound tree with its record, and the top node
// (after the sound thread has ended: final shutdown and tests).
void destroy_sound_tree();
// Keeps a deleted (detached) node and its record alive until
// destroy_sound_tree: queued requests may still name it. Under engine_lock.
void retire_sound_node(object_node* node);

enum : uint8_t { sound_codec_none = 0, sound_codec_ogg = 1, sound_codec_wav = 2 };
enum : uint8_t { sound_form_pcm = 0, sound_form_ogg = 1, sound_form_converted = 2 };
enum : int8_t { sound_idle = 0, sound_loaded = 1, sound_fading_in = 2, sound_playing = 3, sound_fading_out = 4 };

constexpr size_t sound_name_size = 261;  // 260 characters and the terminator
constexpr uint32_t sound_carry_bytes = 4096;
// Ordering keys that mark the ROOT node, which plays the built-in silent WAV.
constexpr uint32_t sound_root_key1 = 999999999;
constexpr int32_t sound_root_key2 = 0;

// The PCM format a buffer is made with (tag 1, extra size 0).
struct sound_format {
  uint16_t format_tag = 0;
  uint16_t channels = 0;
  uint32_t rate = 0;
  uint32_t bytes_per_second = 0;
  uint16_t block_align = 0;
  uint16_t bits = 0;
  uint16_t extra_size = 0;
};

struct sound_record {
  char name[sound_name_size] = {};  // file name as resolved by the sound command
  uint8_t codec = sound_codec_none;
  uint8_t enabled = 1;     // 0 mutes this sound and everything below and keeps it from resuming
  uint8_t data_form = 0;   // WAV: 0 PCM in place, 2 converted; Ogg: 1
  std::atomic<int8_t> state{sound_idle};  // polled without the lock by waiters
  uint8_t paused = 0;      // own pause flag (request kind 3)
  int32_t loop_limit = 0;  // passes after which the tracker stops the sound (0 never)
  int32_t passes = 0;
  int32_t decoder_loop_count = 0;  // 0 for ever, 1 last pass, n > 1 passes left
  int64_t played_bytes = 0;        // position of the play cursor within the current pass
  int64_t length = 0;              // ms
  int32_t start = 0;               // ms; negative plays that much silence first
  int32_t loop_start = 0;          // ms
  uint32_t pause_time = 0;         // tick when paused
  uint8_t held = 0;                // 1 while paused (the buffer is released)
  int32_t loop_end = 0;            // ms
  int32_t pending_loop_start = 0, pending_loop_end = 0;
  int32_t pan = 256;        // 0..512, 256 centre
  int32_t frequency = 256;  // 0..512, 256 the file's rate
  int32_t volume = 256;     // 256 = full
  int32_t fade_start_volume = 0, fade_target = 256, previous_target = 256;
  int32_t fade_time = 0;
  int32_t fade_rate = 0;  // volume units x 1024 per ms
  uint32_t fade_start_time = 0, fade_end_time = 0;

  std::vector<uint8_t> file_image;   // the whole file; for converted WAV the PCM data
  std::vector<uint8_t> half_buffer;  // half the buffer + 4096 bytes of scratch
  std::vector<uint8_t> carry_buffer; // decoded bytes beyond a half
  int32_t refill_offset = 0;
  uint32_t last_cursor = 0;
  int64_t decoded_position = 0;  // bytes of the current pass decoded (negative during leading silence)
  int8_t next_half = 1;
  int64_t decoder_position = 0;  // Ogg: PCM frame; WAV: byte offset into the PCM data
  int32_t carry_count = 0;
  int64_t leading_silence = 0;
  int64_t bytes_per_second = 0;
  std::unique_ptr<AudioBuffer> buffer;
  int64_t read_position = 0;  // of the Ogg memory reader
  int64_t file_size = 0;
  size_t pcm_offset = 0;  // WAV: the data chunk inside file_image
  uint32_t pcm_bytes = 0;
  uint32_t buffer_bytes = 0;
  sound_format format;
};

// The one audio device; when it is missing every buffer operation is skipped.
struct sound_device_record {
  AudioDevice* device = nullptr;
  std::atomic<uint8_t> enabled{0};  // sound on (configuration, and the device opened)
};
extern sound_device_record sound_device;

// Reads a sound file whole by its resolved name. The start-up points it at the
// resource locator; by default it reads the game folder through HostFiles.
// Returns false when the file is missing or unreadable.
extern bool (*sound_read_file)(const char* name, std::vector<uint8_t>& out);

// Opens the platform's audio device when the configuration enables sound.
// Returns 1 on success, 0 when there is no usable device (sound then stays off).
int create_direct_sound();
void release_direct_sound();

// Allocates a record with its defaults and hangs it on the node; null on
// failure (after error 100010).
sound_record* alloc_sound_record(object_node* node);
void free_sound_record(sound_record* record);

int load_sound_data(sound_record* record, object_node* node);
int sound_open(sound_record* record);
int create_sound_buffer(sound_record* record, uint16_t channels, uint32_t rate, uint32_t bytes_per_second,
                        uint16_t block_align, uint16_t bits);
int sound_seek_ms(sound_record* record, int64_t ms);
int refill_half(sound_record* record);
void free_sound_buffers(sound_record* record);

// The built-in silent WAV of the ROOT sound (4044 bytes).
const std::vector<uint8_t>& silent_wave_image();

// Queue handlers (argument: the entry index); negative fatal, 0 run again next
// cycle, positive done.
int sound_request_load(int entry);
int sound_request_play(int entry);
int sound_request_pause(int entry);
int sound_request_fade_out(int entry);
int sound_request_set_volume(int entry);
int sound_request_set_fade_target(int entry);
int sound_request_set_loop_count(int entry);
int sound_request_set_loop_end(int entry);
int sound_request_set_start(int entry);
int sound_request_set_loop_start(int entry);
int sound_request_set_pan(int entry);
int sound_request_set_frequency(int entry);
int sound_request_synchronise(int entry);
int sound_request_unload(int entry);

// Walks of the sound tree, every cycle of the sound thread.
int update_sound_fades();
int update_sound_nodes();
int refill_sound_buffers();
// Pause (1) or resume (0) the node and, for a group, every sound below it.
int pause_sound_node(object_node* node, int pause);
// Pause or resume every sound of the tree (the focus pause).
int pause_all_sounds(int pause);
void free_all_sounds();

// Group volumes and the device mappings.
int32_t effective_sound_volume(object_node* node);
void apply_sound_volume(object_node* node, int32_t volume);
int32_t sound_volume_to_hundredths_db(int32_t volume);
int32_t sound_pan_to_hundredths_db(int32_t pan);
uint32_t sound_frequency_to_rate(uint32_t rate, int32_t frequency);
void set_sound_volume(sound_record* record, int32_t volume);
void set_sound_pan(sound_record* record, int32_t pan);
void set_sound_frequency(sound_record* record, int32_t frequency);

// Sample magnitude at the play cursor (first / second channel), -1 when not playing.
int sound_peak_level(sound_record* record);
int sound_peak_level_2(sound_record* record);
