#include "sound/sound_queue.h"

#include <cstring>
#include <mutex>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "sound/sound_thread.h"

sound_command_queue_record sound_command_queue;

void init_sound_queue() {
  std::lock_guard<engine_mutex> g(engine_lock);
  sound_command_queue_record& q = sound_command_queue;
  for (int i = 0; i < sound_queue_size; ++i) {
    q.node[i] = nullptr;
    q.kind[i] = 0;
    q.name[i][0] = 0;
    q.argument[i] = 0;
    q.done[i] = 0;
  }
  q.read_index = q.write_index = 0;
  q.handlers[0] = nullptr;
  q.handlers[sound_request_kind_load] = sound_request_load;
  q.handlers[sound_request_kind_play] = sound_request_play;
  q.handlers[sound_request_kind_pause] = sound_request_pause;
  q.handlers[sound_request_kind_fade_out] = sound_request_fade_out;
  q.handlers[sound_request_kind_volume] = sound_request_set_volume;
  q.handlers[sound_request_kind_fade_target] = sound_request_set_fade_target;
  q.handlers[sound_request_kind_loop_count] = sound_request_set_loop_count;
  q.handlers[sound_request_kind_loop_end] = sound_request_set_loop_end;
  q.handlers[sound_request_kind_start] = sound_request_set_start;
  q.handlers[sound_request_kind_loop_start] = sound_request_set_loop_start;
  q.handlers[sound_request_kind_pan] = sound_request_set_pan;
  q.handlers[sound_request_kind_frequency] = sound_request_set_frequency;
  q.handlers[sound_request_kind_synchronise] = sound_request_synchronise;
  q.handlers[sound_request_kind_unload] = sound_request_unload;
}

int enqueue_sound_request(object_node* node, int kind, int32_t argument, const char* name) {
  sound_command_queue_record& q = sound_command_queue;
  int entry = -1;
  {
    std::lock_guard<engine_mutex> g(engine_lock);
    int w = q.write_index;
    int next = (w + 1) % sound_queue_size;
    if (next != q.read_index) {
      q.node[w] = node;
      q.kind[w] = static_cast<uint8_t>(kind);
      size_t n = name ? strnlen(name, sound_name_size - 1) : 0;
      if (n) std::memcpy(q.name[w], name, n);
      q.name[w][n] = 0;
      q.argument[w] = argument;
      q.done[w] = 0;
      q.write_index = next;
      entry = w;
    }
  }
  if (entry >= 0) {
    wake_sound_thread();
    return entry;
  }
  // A full ring keeps its 1023 pending requests and refuses the new one
  // (reported outside the lock: the report may show a dialog).
  report_error(110200, 0);
  return -1;
}

namespace {

bool give_up_waiting() {
  if (quit_flag.load()) return true;
  uint8_t state = sound_thread.state.load();
  if (state == 1) return true;
  return state == 0xFF && !sound_thread.started.load();
}

// Polls `finished` until it holds or the wait is given up. The first step
// moves no time: the thread, woken by the request, runs at this instant.
template <class F>
bool wait_for_sound_thread(F&& finished) {
  for (uint32_t step = 0;; step = 1) {
    if (finished()) return true;
    if (give_up_waiting()) return false;
    // The sound thread may be blocked in a dialog that this thread must show.
    serve_ui_while_waiting();
    sound_wait_step_ms(step);
  }
}

}  // namespace

bool wait_sound_request(int entry) {
  if (entry < 0 || entry >= sound_queue_size) return false;
  return wait_for_sound_thread([entry] { return sound_command_queue.done[entry].load() != 0; });
}

bool wait_sound_idle(sound_record* record) {
  if (!record) return true;
  return wait_for_sound_thread([record] { return record->state.load() == sound_idle; });
}

int pending_sound_requests() {
  std::lock_guard<engine_mutex> g(engine_lock);
  const sound_command_queue_record& q = sound_command_queue;
  return (q.write_index - q.read_index + sound_queue_size) % sound_queue_size;
}

int run_sound_queue() {
  std::lock_guard<engine_mutex> g(engine_lock);
  sound_command_queue_record& q = sound_command_queue;
  while (q.read_index != q.write_index) {
    int i = q.read_index;
    if (q.node[i]) {
      int kind = q.kind[i];
      int (*handler)(int) = (kind >= 1 && kind <= 14) ? q.handlers[kind] : nullptr;
      if (handler) {
        int rc = handler(i);
        if (rc < 0) return rc;
        if (rc == 0) return 0;  // stays pending; runs again next cycle
      }
    }
    q.done[i] = 1;
    q.read_index = (i + 1) % sound_queue_size;
  }
  return 0;
}
