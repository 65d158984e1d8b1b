#include "sound/sound_commands.h"

#include <mutex>
#include <string>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/object_tree.h"
#include "resources/command_table.h"
#include "resources/resource_locator.h"
#include "script/argument_binding.h"
#include "script/variable_store.h"
#include "sound/sound_player.h"
#include "sound/sound_queue.h"

namespace {

// Parameter ids of command 76 (argument n is id n - 1).
enum : uint32_t {
  set_path = 0,
  set_enabled = 1,
  set_file = 2,
  set_play = 3,
  set_pause = 4,
  set_fade_time = 5,
  set_start = 6,
  set_loop_start = 7,
  set_loop_end = 8,
  set_loop_count = 9,
  set_volume = 10,
  set_pan = 11,
  set_frequency = 12,
  set_synchronise = 13,
};

// Parameter ids of command 78.
enum : uint32_t {
  query_path = 0,
  query_has_file = 1,
  query_enabled = 2,
  query_playing = 3,
  query_paused = 4,
  query_volume = 5,
  query_pan = 6,
  query_frequency = 7,
  query_file_name = 8,
  query_codec = 9,
  query_start = 10,
  query_loop_start = 11,
  query_loop_end = 12,
  query_loop_limit = 13,
  query_passes = 14,
  query_position = 15,
  query_length = 16,
  query_channels = 17,
  query_bits = 18,
  query_rate = 19,
  query_peak = 20,
  query_peak_2 = 21,
  query_data_form = 22,
  query_output = 23,
};

int32_t int_argument(uint32_t id) { return static_cast<int32_t>(static_cast<uint32_t>(parameter_int(id))); }

std::string text_argument(uint32_t id) {
  uint32_t pos = argument_position(id);
  if (!pos || !argument_slots.string_value[pos]) return {};
  return std::string(argument_slots.string_value[pos], argument_slots.string_length[pos]);
}

struct sound_path {
  std::string path;
  bool group = false;
};

// The path argument resolved against the sound tree's current path. -1 after
// the resolver's report; 1 when there is no name to act on.
int resolve_sound_path(uint32_t id, sound_path& out) {
  std::string name = text_argument(id);
  if (name.empty()) return 1;
  int kind = resolve_object_path(out.path, name, object_current_path(tree_sounds), 0);
  if (kind < 0) return -1;
  if (out.path.empty()) return 1;
  out.group = kind == 1;
  return 0;
}

object_node* find_sound_node(const sound_path& p) {
  std::lock_guard<engine_mutex> g(engine_lock);
  if (!sound_tree_root()) return nullptr;
  return find_object_by_path(sound_tree_root(), p.path, p.group ? find_group : find_leaf);
}

// A new node with a fresh record, made and hung on the tree under the lock
// so the sound thread never sees it half built. Null after a report.
object_node* create_sound_node(const sound_path& p) {
  std::lock_guard<engine_mutex> g(engine_lock);
  if (!sound_tree_root()) return nullptr;
  object_node* n = create_object_by_path(sound_tree_root(), p.path, p.group ? 1 : 0, 1, 0);
  if (!n) return nullptr;
  if (!alloc_sound_record(n)) {
    detach_node(n);
    free_object_node(n);
    return nullptr;
  }
  return n;
}

void enqueue(object_node* n, int kind, int32_t argument) { enqueue_sound_request(n, kind, argument); }

void enqueue_and_wait(object_node* n, int kind, int32_t argument, const char* name = nullptr) {
  int entry = enqueue_sound_request(n, kind, argument, name);
  if (entry >= 0) wait_sound_request(entry);
}

// Argument 3: a new file for the sound. 0 done (or not found), -1 failure.
int load_file(object_node* n, sound_record* r) {
  if (r->state.load() != sound_idle) {
    enqueue(n, sound_request_kind_unload, 0);
    wait_sound_idle(r);
  }
  std::string in = text_argument(set_file);
  std::string resolved;
  resource_locator locator;
  int found = resolve_resource_name(locator, resolved, in, resource_kind_sound);
  if (found < 0) return -1;
  if (found > 0) return 0;
  uint8_t codec;
  if (locator.type == 5)
    codec = sound_codec_wav;
  else if (locator.type == 6)
    codec = sound_codec_ogg;
  else {
    report_error_fmt(100030, 1, command_name(sound_set_command), resolved);
    return -1;
  }
  {
    std::lock_guard<engine_mutex> g(engine_lock);
    r->codec = codec;
  }
  // The queue's name buffers hold 260 bytes; enqueue cuts a longer name.
  enqueue_and_wait(n, sound_request_kind_load, 0, resolved.c_str());
  return 0;
}

// Output element of command 78.
struct query_output_place {
  uint32_t variable = 0;
  int64_t element = -1;
  uint8_t type = variable_type_none;
  bool inside = false;
};

query_output_place output_place() {
  query_output_place o;
  uint32_t pos = argument_position(query_output);
  if (!pos || !argument_slots.variable_id[pos]) return o;
  o.variable = argument_slots.variable_id[pos];
  o.element = argument_slots.element_index[pos];
  if (const variable_record* v = find_variable(o.variable)) {
    o.type = v->type;
    o.inside = o.element >= 0 && static_cast<uint64_t>(o.element) < v->element_count;
  }
  return o;
}

void store_number(const query_output_place& o, int64_t value) {
  if (o.variable) set_numeric_element(o.variable, o.element, value);
}

void store_text(const query_output_place& o, const char* text) {
  if (o.variable) set_string_element(o.variable, o.element, text);
}

// The value for a missing sound: 0 or the empty text, nothing outside the variable.
void store_empty(const query_output_place& o) {
  if (!o.variable) return;
  if (o.type == variable_type_text)
    set_string_element(o.variable, o.element, "");
  else if (o.inside && (o.type == variable_type_int || o.type == variable_type_real))
    set_numeric_element(o.variable, o.element, 0);
}

void delete_subtree_below(object_node* group) {
  for (;;) {
    object_node* child;
    {
      std::lock_guard<engine_mutex> g(engine_lock);
      child = group->first_child;
    }
    if (!child) return;
    if (child->is_group) delete_subtree_below(child);
    delete_sound_node(child);
  }
}

}  // namespace

void delete_sound_node(object_node* n) {
  if (!n) return;
  sound_record* r;
  {
    std::lock_guard<engine_mutex> g(engine_lock);
    r = sound_node_record(n);
  }
  // Waiting for the unload itself also lets every earlier request for the
  // node finish, so none reloads it after it has left the tree.
  int entry = enqueue_sound_request(n, sound_request_kind_unload, 0);
  if (entry >= 0) wait_sound_request(entry);
  wait_sound_idle(r);
  std::lock_guard<engine_mutex> g(engine_lock);
  detach_node(n);
  release_object_node_storage(n);
  retire_sound_node(n);
}

int cmd_sound_set() {
  if (bind_command_arguments(sound_set_command) != 0) return -1;
  if (!sound_device.enabled.load()) return 0;
  sound_path p;
  int rc = resolve_sound_path(set_path, p);
  if (rc < 0) return -1;
  if (rc > 0) return 0;
  object_node* n = find_sound_node(p);
  if (!n) {
    if (p.group) {
      if (parameter_given(set_file)) {
        report_error_at_line_fmt(101292, 1, command_name(sound_set_command));
        return -1;
      }
    } else if (!parameter_given(set_file)) {
      return 0;
    }
    n = create_sound_node(p);
    if (!n) return -1;
  }
  sound_record* r;
  {
    std::lock_guard<engine_mutex> g(engine_lock);
    r = sound_node_record(n);
  }
  if (!r) return -1;

  if (parameter_given(set_file) && load_file(n, r) != 0) return -1;
  if (parameter_given(set_enabled)) {
    int32_t volume;
    {
      std::lock_guard<engine_mutex> g(engine_lock);
      r->enabled = static_cast<uint8_t>(int_argument(set_enabled));
      volume = r->volume;
    }
    enqueue(n, sound_request_kind_volume, volume);
  }
  if (parameter_given(set_start)) enqueue(n, sound_request_kind_start, int_argument(set_start));
  if (parameter_given(set_loop_start)) enqueue(n, sound_request_kind_loop_start, int_argument(set_loop_start));
  if (parameter_given(set_loop_end)) enqueue(n, sound_request_kind_loop_end, int_argument(set_loop_end));
  if (parameter_given(set_loop_count)) {
    // The loop limit is the command's own field: the sound thread only reads it.
    r->loop_limit = int_argument(set_loop_count);
    enqueue(n, sound_request_kind_loop_count, int_argument(set_loop_count));
  }
  if (parameter_given(set_pan)) enqueue(n, sound_request_kind_pan, int_argument(set_pan));
  if (parameter_given(set_frequency)) enqueue(n, sound_request_kind_frequency, int_argument(set_frequency));
  if (parameter_given(set_synchronise))
    enqueue(n, sound_request_kind_synchronise, int_argument(set_synchronise));
  if (parameter_given(set_volume))
    enqueue(n, parameter_given(set_play) ? sound_request_kind_fade_target : sound_request_kind_volume,
            int_argument(set_volume));
  if (parameter_given(set_play)) {
    int32_t fade = parameter_given(set_fade_time) ? int_argument(set_fade_time) : 0;
    if (int_argument(set_play) == 1)
      enqueue_and_wait(n, sound_request_kind_play, fade);
    else
      enqueue(n, sound_request_kind_fade_out, fade);
  }
  if (parameter_given(set_pause)) enqueue_and_wait(n, sound_request_kind_pause, int_argument(set_pause) == 1 ? 1 : 0);
  return 0;
}

int cmd_sound_delete() {
  if (bind_command_arguments(sound_delete_command) != 0) return -1;
  sound_path p;
  int rc = resolve_sound_path(0, p);
  if (rc < 0) return -1;
  if (rc > 0) return 0;
  object_node* n = find_sound_node(p);
  if (!n) return 0;
  {
    // The tree's top node and S0 itself are the tree, not sounds.
    std::lock_guard<engine_mutex> g(engine_lock);
    if (!n->parent) return 0;
  }
  if (p.group) delete_subtree_below(n);
  delete_sound_node(n);
  return 0;
}

int cmd_sound_query() {
  if (bind_command_arguments(sound_query_command) != 0) return -1;
  query_output_place out = output_place();
  sound_path p;
  int rc = resolve_sound_path(query_path, p);
  if (rc < 0) return -1;
  object_node* n = rc == 0 ? find_sound_node(p) : nullptr;
  std::lock_guard<engine_mutex> g(engine_lock);
  sound_record* r = n ? sound_node_record(n) : nullptr;
  if (!r) {
    store_empty(out);
    return 0;
  }
  // The first given of the state switches answers.
  for (uint32_t id = query_has_file; id <= query_frequency; ++id) {
    if (!parameter_given(id)) continue;
    int64_t v = 0;
    switch (id) {
      case query_has_file: v = r->codec != sound_codec_none ? 1 : 0; break;
      case query_enabled: v = r->enabled; break;
      case query_playing: v = r->state >= sound_fading_in ? 1 : 0; break;
      case query_paused: v = r->paused; break;
      case query_volume: v = r->volume; break;
      case query_pan: v = r->pan; break;
      default: v = r->frequency; break;
    }
    store_number(out, v);
    return 0;
  }
  // Otherwise every given parameter writes in turn; the last one stays.
  static const uint32_t order[] = {query_codec,      query_file_name, query_start,    query_loop_start,
                                   query_loop_end,   query_loop_limit, query_passes,  query_position,
                                   query_length,     query_channels,  query_bits,     query_rate,
                                   query_peak,       query_peak_2,    query_data_form};
  for (uint32_t id : order) {
    if (!parameter_given(id)) continue;
    switch (id) {
      case query_file_name: store_text(out, r->name); break;
      case query_codec: store_number(out, r->codec); break;
      case query_start: store_number(out, r->start); break;
      case query_loop_start: store_number(out, r->loop_start); break;
      case query_loop_end: store_number(out, r->loop_end); break;
      case query_loop_limit: store_number(out, r->loop_limit); break;
      case query_passes: store_number(out, r->passes); break;
      case query_position:
        if (r->bytes_per_second > 0) {
          store_number(out, r->played_bytes * 1000 / r->bytes_per_second);
        } else if (out.type == variable_type_text) {
          report_error_at_line(101140, 1);
          return -1;
        } else if (out.inside) {
          store_number(out, 0);
        }
        break;
      case query_length: store_number(out, r->length); break;
      case query_channels: store_number(out, r->format.channels); break;
      case query_bits: store_number(out, r->format.bits); break;
      case query_rate: store_number(out, r->format.rate); break;
      case query_peak: store_number(out, sound_peak_level(r)); break;
      case query_peak_2: store_number(out, sound_peak_level_2(r)); break;
      default: store_number(out, r->data_form); break;
    }
  }
  return 0;
}
