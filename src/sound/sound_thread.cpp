#include "sound/sound_thread.h"

#include <chrono>
#include <mutex>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/sjis.h"
#include "platform/platform.h"
#include "sound/sound_player.h"
#include "sound/sound_queue.h"
#include "core/object_tree.h"
#include "script/scheduler.h"

sound_focus_links sound_focus;
sound_thread_record sound_thread;
void (*sound_error_listener)(int code, const std::string& text) = nullptr;

void sound_sleep_ms(uint32_t ms) {
  if (sound_thread.sleep_ms) sound_thread.sleep_ms(ms);
  else if (platform_installed() && platform().clock) platform().clock->follow_sleep_ms(ms);
  else std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void sound_wait_step_ms(uint32_t ms) {
  if (sound_thread.sleep_ms) sound_thread.sleep_ms(ms);
  else if (platform_installed() && platform().clock) platform().clock->wait_step_ms(ms);
  else std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void wake_sound_thread() {
  // Tests that step the thread themselves keep their own pace.
  if (!sound_thread.sleep_ms && platform_installed() && platform().clock) platform().clock->wake_followers();
}

namespace {

bool vm_inactive_pause() { return inactive_pause.paused.load() != 0; }
// The window subsystem answers through the scheduler's hook; without one the
// main window counts as active.
bool main_window_is_active() {
  return scheduler_hooks.main_window_active ? scheduler_hooks.main_window_active() : true;
}
bool keep_running_setting() { return inactive_pause.keep_running_inactive.load() != 0; }

}  // namespace

void link_sound_focus() {
  sound_focus.inactive_pause = vm_inactive_pause;
  sound_focus.main_window_active = main_window_is_active;
  sound_focus.keep_running_inactive = keep_running_setting;
}

namespace {

int focus_pause() {
  bool inactive = sound_focus.inactive_pause ? sound_focus.inactive_pause() : false;
  bool active = sound_focus.main_window_active ? sound_focus.main_window_active() : true;
  bool keep = sound_focus.keep_running_inactive ? sound_focus.keep_running_inactive() : true;
  bool paused = sound_thread.paused_by_focus.load() != 0;
  if (!keep) {
    if (inactive || (!active && !paused)) {
      sound_thread.paused_by_focus = 1;
      return pause_all_sounds(1);
    }
    if (!inactive && active && paused) {
      sound_thread.paused_by_focus = 0;
      return pause_all_sounds(0);
    }
    return 0;
  }
  if (inactive && !paused) {
    sound_thread.paused_by_focus = 1;
    return pause_all_sounds(1);
  }
  if (!inactive && paused) {
    sound_thread.paused_by_focus = 0;
    return pause_all_sounds(0);
  }
  return 0;
}

}  // namespace

int sound_cycle() {
  std::lock_guard<engine_mutex> g(engine_lock);
  // Without a tree there is nothing to do, but quit still ends the thread.
  if (!sound_tree_root()) return (quit_flag.load() || stop_threads_signal.load()) ? 1 : 0;
  int rc = focus_pause();
  if (rc < 0) return rc;
  if ((rc = run_sound_queue()) < 0) return rc;
  if ((rc = update_sound_fades()) < 0) return rc;
  if ((rc = update_sound_nodes()) < 0) return rc;
  if ((rc = refill_sound_buffers()) < 0) return rc;
  return (quit_flag.load() || stop_threads_signal.load()) ? 1 : 0;
}

void sound_thread_main() {
  // The thread keeps step with the clock the frame loop moves: on a virtual
  // clock its cycles then come at the same virtual instants on every run.
  Clock* clock = (!sound_thread.sleep_ms && platform_installed()) ? platform().clock : nullptr;
  if (clock) clock->begin_following();
  sound_thread.pacing_ready = 1;
  {
    std::lock_guard<engine_mutex> g(engine_lock);
    sound_thread.state = 0;
  }
  // A cycle holds the engine lock throughout; a report raised inside it (a
  // damaged pack entry, memory) shows its dialog after the lock is left, or
  // the thread that must show it could be the one waiting for the lock.
  defer_dialogs_on_this_thread(true);
  for (;;) {
    sound_sleep_ms(pending_sound_requests() ? 3 : 20);
    int rc = sound_cycle();
    show_deferred_dialogs();
    sound_thread.cycles.fetch_add(1);
    // Shutdown's own signal too: a late report may clear quit_flag again.
    if (rc > 0 || stop_threads_signal.load()) break;
    if (rc < 0) {
      report_sound_thread_error(rc);
      break;
    }
  }
  // From here the thread no longer holds the clock back (the waits for its
  // end move the clock).
  if (clock) clock->end_following();
  {
    // Let a producer that is just writing finish before the buffers go.
    std::lock_guard<engine_mutex> g(engine_lock);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  free_all_sounds();
  std::lock_guard<engine_mutex> g(engine_lock);
  sound_thread.state = 1;
}

void start_sound_thread() {
  if (sound_thread.started.load()) {
    if (sound_thread.state.load() != 1) return;  // already running
    // An ended thread (a test engine started again in the same process).
    if (sound_thread.thread.joinable()) sound_thread.thread.join();
    sound_thread.state = 0xFF;
  }
  sound_thread.started = 1;
  sound_thread.pacing_ready = 0;
  sound_thread.thread = std::thread(sound_thread_main);
  // The thread follows the clock before the caller can move it again, and
  // has gone to its first sleep before the caller queues anything, so that
  // sleep's length does not depend on which thread was faster.
  while (!sound_thread.pacing_ready.load()) std::this_thread::yield();
  if (!sound_thread.sleep_ms && platform_installed() && platform().clock) platform().clock->wait_step_ms(0);
}

void wait_sound_thread_end() {
  if (!sound_thread.started.load()) return;
  for (;;) {
    {
      std::lock_guard<engine_mutex> g(engine_lock);
      if (sound_thread.state.load() == 1) break;
    }
    // The thread may be showing its error box through this one.
    serve_ui_while_waiting();
    sound_wait_step_ms(1);
  }
  if (sound_thread.thread.joinable()) sound_thread.thread.join();
}

int start_root_sound() {
  object_node* node;
  {
    std::lock_guard<engine_mutex> g(engine_lock);
    if (!sound_tree_root()) return -1;
    // A ROOT left from an earlier run of the process is reused, not doubled.
    node = find_object_by_path(sound_tree_root(), "ROOT", find_leaf);
    if (!node) node = create_object_by_path(sound_tree_root(), "ROOT", 0, sound_root_key1, sound_root_key2);
    if (!node) return -1;
    sound_record* r = sound_node_record(node) ? sound_node_record(node) : alloc_sound_record(node);
    if (!r) return -1;
    r->name[0] = ' ';
    r->name[1] = 0;
    r->codec = sound_codec_wav;
  }
  enqueue_sound_request(node, sound_request_kind_volume, 2);
  enqueue_sound_request(node, sound_request_kind_load, 0, " ");
  enqueue_sound_request(node, sound_request_kind_play, 0);
  return 0;
}

int init_sound_player() {
  init_sound_queue();
  start_sound_thread();
  if (sound_device.enabled.load() && start_root_sound() < 0) return -1;
  return 0;
}

std::string sound_error_text(int code) {
  static const std::string prefix = utf8_to_sjis("エラー番号：%d\n\n");
  static const std::string no_buffer = utf8_to_sjis("サウンドバッファがありませんでした。");
  static const std::string play_error = utf8_to_sjis("サウンド再生エラーです。");
  static const std::string position_error = utf8_to_sjis("サウンド再生位置取得エラーです。");
  static const std::string open_error = utf8_to_sjis("ファイルが開けませんでした。");
  static const std::string not_ogg = utf8_to_sjis("oggファイルとして正しく認識できませんでした。");
  static const std::string not_seekable = utf8_to_sjis("シークできないoggファイルでした。");
  static const std::string chained = utf8_to_sjis("複数曲連結OGGには対応していません。");
  static const std::string no_info = utf8_to_sjis("oggファイルの詳細を取得できませんでした。");
  static const std::string buffer_error = utf8_to_sjis("DirectSoundバッファエラーです。");
  static const std::string buffer_memory = utf8_to_sjis("DirectSoundバッファが確保できませんでした。");
  static const std::string buffer_create = utf8_to_sjis("DirectSoundバッファ作成エラーです。");
  static const std::string ogg_open = utf8_to_sjis("oggファイルを正しく開けませんでした。");
  static const std::string ogg_seek = utf8_to_sjis("oggファイルをシークできませんでした。");
  static const std::string write_error = utf8_to_sjis("サウンドバッファに書き込みできませんでした。");
  static const std::string decode_error = utf8_to_sjis("oggデコードエラーです。");
  static const std::string internal = utf8_to_sjis(
      "サウンド関係で内部エラーが発生しました。処理を停止します。\n\n"
      "このエラーが発生した場合、宜しければエラー番号と一緒に\nシステム制作者までご報告いただけますと非常に助かります。");
  if (code == -1045) return chained;
  const std::string* text = &internal;
  switch (code) {
    case -1: case -310: case -330: case -410: case -430: case -1010: text = &no_buffer; break;
    case -110: case -120: case -440: text = &play_error; break;
    case -320: case -340: case -420: text = &position_error; break;
    case -1020: text = &open_error; break;
    case -1030: text = &not_ogg; break;
    case -1040: text = &not_seekable; break;
    case -1050: text = &no_info; break;
    case -1060: case -1080: text = &buffer_error; break;
    case -1070: case -1090: text = &buffer_memory; break;
    case -1120: text = &buffer_create; break;
    case -2010: case -3010: text = &ogg_open; break;
    case -2020: case -3020: text = &ogg_seek; break;
    case -3030: text = &write_error; break;
    case -90001: case -90002: text = &decode_error; break;
    default: break;
  }
  std::string out = prefix;
  out.replace(out.find("%d"), 2, std::to_string(-static_cast<int64_t>(code)));
  return out + *text;
}

void report_sound_thread_error(int code) {
  static const std::string caption = "DEBUG Message";
  std::string text = sound_error_text(code);
  if (sound_error_listener) sound_error_listener(code, text);
  if (platform_installed() && platform().ui) platform().ui->message_box(caption, text, mb_ok);
  quit_by_error = 1;
  quit_flag = 1;
}
