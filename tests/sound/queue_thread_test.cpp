// The command queue (wrap, skip, retry, full ring, waits) and the sound thread
// (ROOT sound, focus pause, fatal errors, shutdown).
#include <chrono>
#include <cstring>
#include <thread>

#include "core/sjis.h"
#include "sound_fixture.h"

namespace {

std::vector<uint8_t> short_wave(int ms) {
  return make_wave(1, 1, 44100, 16, 2, pcm16_bytes(ramp_samples(static_cast<size_t>(44100) * ms / 1000)));
}

// Real-time wait for a condition the sound thread brings about.
template <class F>
bool eventually(F&& condition) {
  for (int i = 0; i < 5000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}

}  // namespace

TEST_F(SoundTest, QueueWrapsAroundTheRing) {
  object_node* n = new_sound(s0(), "a");
  int runs = 0;
  for (int batch = 0; batch < 30; ++batch) {
    std::vector<int> entries;
    for (int i = 0; i < 100; ++i) entries.push_back(request(n, sound_request_kind_synchronise, i));
    for (int e : entries) ASSERT_GE(e, 0);
    ASSERT_EQ(pending_sound_requests(), 100);
    ASSERT_EQ(run_sound_queue(), 0);
    for (int e : entries) ASSERT_EQ(sound_command_queue.done[e].load(), 1);
    runs += 100;
  }
  EXPECT_EQ(sound_command_queue.read_index, runs % sound_queue_size);
  EXPECT_EQ(sound_command_queue.write_index, runs % sound_queue_size);
}

TEST_F(SoundTest, NullNodeIsSkippedAndMarkedDone) {
  object_node* n = new_sound(s0(), "a");
  int skip = request(nullptr, sound_request_kind_load, 0, "missing.wav");
  int after = request(n, sound_request_kind_volume, 77);
  ASSERT_EQ(run_sound_queue(), 0);
  EXPECT_EQ(sound_command_queue.done[skip].load(), 1);
  EXPECT_EQ(sound_command_queue.done[after].load(), 1);
  EXPECT_EQ(rec(n)->volume, 77);
}

TEST_F(SoundTest, LoadOfAPlayingSoundStopsItAndLoadsNextCycle) {
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", short_wave(500), sound_codec_wav);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  folder.write("b.wav", short_wave(700));
  int e = request(n, sound_request_kind_load, 0, "b.wav");
  int behind = request(n, sound_request_kind_synchronise, 0);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(sound_command_queue.done[e].load(), 0);
  EXPECT_EQ(sound_command_queue.done[behind].load(), 0);
  EXPECT_EQ(rec(n)->state.load(), sound_idle);
  EXPECT_EQ(rec(n)->buffer, nullptr);
  EXPECT_EQ(sound_command_queue.read_index, e);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(sound_command_queue.done[e].load(), 1);
  EXPECT_EQ(sound_command_queue.done[behind].load(), 1);
  EXPECT_EQ(rec(n)->state.load(), sound_loaded);
  EXPECT_STREQ(rec(n)->name, "b.wav");
  EXPECT_EQ(rec(n)->length, 700);
}

TEST_F(SoundTest, FullRingRefusesTheNewRequestAndKeepsThePendingOnes) {
  object_node* n = new_sound(s0(), "a");
  for (int i = 0; i < sound_queue_size - 1; ++i) ASSERT_EQ(request(n, sound_request_kind_volume, i), i);
  ASSERT_EQ(pending_sound_requests(), 1023);
  quit_flag = 1;  // the refusal is reported with quit 0, which clears it
  EXPECT_EQ(request(n, sound_request_kind_volume, 5000), -1);
  EXPECT_EQ(quit_flag.load(), 0);
  EXPECT_EQ(pending_sound_requests(), 1023);
  EXPECT_FALSE(wait_sound_request(-1));  // a refused request is never waited for
  ASSERT_EQ(run_sound_queue(), 0);
  EXPECT_EQ(pending_sound_requests(), 0);
  EXPECT_EQ(rec(n)->volume, 1022);
  EXPECT_EQ(request(n, sound_request_kind_volume, 1), 1023);
}

TEST_F(SoundTest, LongNamesAreBounded) {
  object_node* n = new_sound(s0(), "a");
  std::string name(400, 'x');
  int e = request(n, sound_request_kind_load, 0, name.c_str());
  EXPECT_EQ(std::strlen(sound_command_queue.name[e]), sound_name_size - 1);
  rec(n)->codec = sound_codec_wav;
  EXPECT_EQ(run_sound_queue(), -1020);  // no such file
  EXPECT_EQ(std::strlen(rec(n)->name), sound_name_size - 1);
}

TEST_F(SoundTest, WaitsGiveUpWithoutAThreadOrOnQuit) {
  object_node* n = new_sound(s0(), "a");
  int e = request(n, sound_request_kind_synchronise, 0);
  EXPECT_FALSE(wait_sound_request(e));  // no sound thread was ever started
  ASSERT_EQ(run_sound_queue(), 0);
  EXPECT_TRUE(wait_sound_request(e));
  load(n, "a.wav", short_wave(300), sound_codec_wav);
  EXPECT_FALSE(wait_sound_idle(rec(n)));
}

TEST_F(SoundTest, FocusPauseHoldsEverySoundAndResumesThem) {
  static bool active = true;
  active = true;
  sound_focus.main_window_active = [] { return active; };
  sound_focus.keep_running_inactive = [] { return false; };
  object_node* g = new_group(s0(), "g");
  object_node* a = new_sound(g, "a");
  object_node* b = new_sound(s0(), "b");
  load(a, "a.wav", short_wave(2000), sound_codec_wav);
  load(b, "b.wav", short_wave(2000), sound_codec_wav);
  request(a, sound_request_kind_play, 0);
  request(b, sound_request_kind_play, 0);
  request(b, sound_request_kind_pause, 1);  // b is paused on its own
  step(100);
  active = false;
  step(10);
  EXPECT_EQ(sound_thread.paused_by_focus.load(), 1);
  EXPECT_EQ(rec(a)->held, 1);
  EXPECT_EQ(rec(a)->played_bytes, 100 * 88200 / 1000);  // started in the first cycle, at 10 ms
  // A resume request while the focus pause holds does not start the sound.
  request(g, sound_request_kind_pause, 0);
  step(300);
  EXPECT_EQ(rec(a)->held, 1);
  active = true;
  step(10);
  EXPECT_EQ(sound_thread.paused_by_focus.load(), 0);
  EXPECT_EQ(rec(a)->held, 0);
  EXPECT_EQ(rec(b)->held, 1);  // its own pause flag keeps it
  EXPECT_EQ(rec(a)->played_bytes, 100 * 88200 / 1000);  // the held position
  step(10);
  EXPECT_EQ(rec(a)->played_bytes, 110 * 88200 / 1000);
}

TEST_F(SoundTest, KeepRunningInactiveFollowsOnlyTheInactivePauseFlag) {
  static bool inactive_pause = false;
  inactive_pause = false;
  sound_focus.main_window_active = [] { return false; };
  sound_focus.inactive_pause = [] { return inactive_pause; };
  object_node* a = new_sound(s0(), "a");
  load(a, "a.wav", short_wave(1000), sound_codec_wav);
  request(a, sound_request_kind_play, 0);
  step(50);
  EXPECT_EQ(rec(a)->held, 0);
  inactive_pause = true;
  step(10);
  EXPECT_EQ(rec(a)->held, 1);
  inactive_pause = false;
  step(10);
  EXPECT_EQ(rec(a)->held, 0);
}

TEST_F(SoundTest, ErrorTextsOfTheSoundThread) {
  EXPECT_EQ(sjis_to_utf8(sound_error_text(-1045)), "複数曲連結OGGには対応していません。");
  EXPECT_EQ(sjis_to_utf8(sound_error_text(-1020)), "エラー番号：1020\n\nファイルが開けませんでした。");
  EXPECT_EQ(sjis_to_utf8(sound_error_text(-330)), "エラー番号：330\n\nサウンドバッファがありませんでした。");
  EXPECT_EQ(sjis_to_utf8(sound_error_text(-90002)), "エラー番号：90002\n\noggデコードエラーです。");
  std::string other = sjis_to_utf8(sound_error_text(-10040));
  EXPECT_EQ(other.rfind("エラー番号：10040\n\nサウンド関係で内部エラーが発生しました。", 0), 0u);
}

TEST_F(SoundTest, ThreadPlaysTheSilentRootSoundAndStopsOnQuit) {
  ASSERT_EQ(init_sound_player(), 0);
  object_node* root = find_object_by_path(sound_tree_root(), "ROOT", find_leaf);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(sound_node_key1(root), sound_root_key1);
  ASSERT_TRUE(eventually([&] { return rec(root)->state.load() == sound_playing; }));
  {
    std::lock_guard<engine_mutex> g(engine_lock);
    EXPECT_EQ(rec(root)->format.rate, 8000u);
    EXPECT_EQ(rec(root)->format.bits, 8);
    EXPECT_EQ(rec(root)->length, 500);
    EXPECT_EQ(rec(root)->buffer->volume(), -8428);
  }
  // A script-side load and play through the running thread, with waits.
  object_node* n = new_sound(s0(), "a");
  folder.write("a.wav", short_wave(300));
  rec(n)->codec = sound_codec_wav;
  EXPECT_TRUE(wait_sound_request(request(n, sound_request_kind_load, 0, "a.wav")));
  EXPECT_EQ(rec(n)->state.load(), sound_loaded);
  EXPECT_TRUE(wait_sound_request(request(n, sound_request_kind_play, 0)));
  EXPECT_GE(rec(n)->state.load(), sound_fading_in);
  request(n, sound_request_kind_unload, 0);
  EXPECT_TRUE(wait_sound_idle(rec(n)));
  quit_flag = 1;
  wait_sound_thread_end();
  EXPECT_EQ(sound_thread.state.load(), 1);
  EXPECT_EQ(rec(root)->state.load(), sound_idle);
  EXPECT_EQ(rec(root)->buffer, nullptr);
  EXPECT_TRUE(hp->ui.boxes().empty());
}

TEST_F(SoundTest, FatalErrorShowsTheDebugMessageAndEndsTheThread) {
  start_sound_thread();
  object_node* n = new_sound(s0(), "a");
  rec(n)->codec = sound_codec_wav;
  int e = request(n, sound_request_kind_load, 0, "nothing.wav");
  EXPECT_FALSE(wait_sound_request(e));  // gives up once the thread has ended
  wait_sound_thread_end();
  EXPECT_EQ(quit_flag.load(), 1);
  std::vector<HeadlessUi::box_record> boxes = hp->ui.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "DEBUG Message");
  EXPECT_EQ(sjis_to_utf8(boxes[0].text), "エラー番号：1020\n\nファイルが開けませんでした。");
}

TEST_F(SoundTest, TreeChangesAreSafeWhileTheThreadWalks) {
  start_sound_thread();
  folder.write("a.wav", short_wave(200));
  std::vector<object_node*> detached;
  for (int i = 0; i < 200; ++i) {
    object_node* n = new_sound(s0(), "n" + std::to_string(i));
    rec(n)->codec = sound_codec_wav;
    request(n, sound_request_kind_load, 0, "a.wav");
    request(n, sound_request_kind_play, 0);
    if (i % 3 == 0) {
      request(n, sound_request_kind_unload, 0);
      {
        std::lock_guard<engine_mutex> g(engine_lock);
        detach_node(n);  // stays allocated, as the delete command leaves it
      }
      detached.push_back(n);
    }
  }
  quit_flag = 1;
  wait_sound_thread_end();
  EXPECT_TRUE(hp->ui.boxes().empty());
  for (object_node* n : detached) {
    free_sound_record(rec(n));
    free_object_node(n);
  }
}
