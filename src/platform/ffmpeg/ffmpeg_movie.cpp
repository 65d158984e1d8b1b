#include "platform/ffmpeg/ffmpeg_movie.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int max_picture_side = 4096;  // a rectangle beyond any display is cut here
constexpr size_t max_queued_pictures = 90;

std::string av_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

void quiet_ffmpeg_log() {
  // Broken movies are reported once, by the engine's log line; the libraries'
  // own chatter would go to stderr for every damaged packet.
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

struct video_picture {
  double pts = 0;  // seconds from the movie's start
  int width = 0, height = 0;
  std::vector<uint8_t> bgra;
};

}  // namespace

struct FfmpegMoviePlayer::session {
  ffmpeg_movie_options options;
  bool free_run = false;  // decode_all: nothing is queued, nothing waits

  AVFormatContext* format = nullptr;
  AVCodecContext* video = nullptr;
  AVCodecContext* audio = nullptr;
  int video_index = -1, audio_index = -1;
  SwsContext* scaler = nullptr;
  SwrContext* resampler = nullptr;
  int in_format = -1, in_rate = 0;  // what the resampler was made for
  AVChannelLayout in_layout{};
  int out_rate = 44100;
  double start_seconds = 0;  // the container's start time
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;

  std::thread thread;
  std::mutex mutex;
  std::condition_variable produce;  // the decoder waits here for room
  std::condition_variable consume;  // the consumers wait here for data
  bool quit = false;
  bool finished = false;  // the decoder has given everything it will
  std::string failure;    // why the decoder gave up
  bool audio_hungry = false, video_hungry = false;
  std::deque<video_picture> pictures;
  std::vector<std::vector<uint8_t>> spare;  // picture buffers to reuse
  std::deque<int16_t> samples;              // stereo frames, interleaved
  // No device takes the sound (none opened): it is decoded only to know how
  // long it lasts, and the movie plays that long by the platform clock.
  bool sound_dropped = false;
  uint64_t dropped_frames = 0;  // frames of sound at out_rate, leading silence included
  double dropped_seconds() const { return static_cast<double>(dropped_frames) / out_rate; }
  bool audio_started = false;
  double last_video_pts = -1, frame_duration = 1.0 / 30;
  double decoded_pts = -1;  // the latest picture decoded, shown or not
  std::atomic<int> target_width{0}, target_height{0};

  // Counters of decode_all.
  int64_t pictures_decoded = 0;

  // The movie's clock: the sound stream while it plays, else the platform clock.
  std::unique_ptr<AudioStream> stream;
  Clock* clock = nullptr;
  uint32_t clock_base = 0;
  double clock_seconds = 0;
  bool sound_done = false;
  bool paused = false;

  int window = 0;
  movie_rect rect;
  double shown_pts = -1;

  ~session() {
    {
      std::lock_guard<std::mutex> g(mutex);
      quit = true;
    }
    produce.notify_all();
    consume.notify_all();
    if (thread.joinable()) thread.join();
    stream.reset();  // the mixer stops pulling before the FIFO goes
    sws_freeContext(scaler);
    swr_free(&resampler);
    av_channel_layout_uninit(&in_layout);
    avcodec_free_context(&video);
    avcodec_free_context(&audio);
    avformat_close_input(&format);
    av_packet_free(&packet);
    av_frame_free(&frame);
  }

  static int interrupt(void* self) {
    auto* s = static_cast<session*>(self);
    std::lock_guard<std::mutex> g(s->mutex);
    return s->quit ? 1 : 0;
  }

  AVCodecContext* open_decoder(int index, bool threads) {
    AVStream* st = format->streams[index];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) return nullptr;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (!c) return nullptr;
    if (avcodec_parameters_to_context(c, st->codecpar) < 0) {
      avcodec_free_context(&c);
      return nullptr;
    }
    c->pkt_timebase = st->time_base;
    if (threads) {
      c->thread_count = 0;
      c->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    }
    if (avcodec_open2(c, codec, nullptr) < 0) {
      avcodec_free_context(&c);
      return nullptr;
    }
    return c;
  }

  // Opens the file and its decoders; false with `error` set.
  bool open(const std::string& path, int rate, std::string* error) {
    quiet_ffmpeg_log();
    out_rate = rate > 0 ? rate : 44100;
    format = avformat_alloc_context();
    if (!format) return *error = "out of memory", false;
    format->interrupt_callback.callback = &session::interrupt;
    format->interrupt_callback.opaque = this;
    int r = avformat_open_input(&format, path.c_str(), nullptr, nullptr);
    if (r < 0) {
      format = nullptr;  // freed by the failed open
      *error = "cannot open: " + av_error_text(r);
      return false;
    }
    r = avformat_find_stream_info(format, nullptr);
    if (r < 0) {
      *error = "no stream information: " + av_error_text(r);
      return false;
    }
    if (format->start_time != AV_NOPTS_VALUE) start_seconds = static_cast<double>(format->start_time) / AV_TIME_BASE;
    int v = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (v >= 0 && (video = open_decoder(v, true))) {
      video_index = v;
      AVRational fr = av_guess_frame_rate(format, format->streams[v], nullptr);
      if (fr.num > 0 && fr.den > 0) frame_duration = av_q2d(av_inv_q(fr));
      if (video->width <= 0 || video->height <= 0) {
        avcodec_free_context(&video);
        video_index = -1;
      }
    }
    int a = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, v, nullptr, 0);
    if (a >= 0 && (audio = open_decoder(a, false))) {
      AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
      AVChannelLayout source_layout;
      if (audio->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || audio->ch_layout.nb_channels <= 0)
        av_channel_layout_default(&source_layout, audio->ch_layout.nb_channels > 0 ? audio->ch_layout.nb_channels : 2);
      else
        av_channel_layout_copy(&source_layout, &audio->ch_layout);
      if (audio->sample_rate > 0 &&
          swr_alloc_set_opts2(&resampler, &stereo, AV_SAMPLE_FMT_S16, out_rate, &source_layout, audio->sample_fmt,
                              audio->sample_rate, 0, nullptr) == 0 &&
          swr_init(resampler) == 0) {
        audio_index = a;
        in_format = audio->sample_fmt;
        in_rate = audio->sample_rate;
        av_channel_layout_copy(&this->in_layout, &audio->ch_layout);
      } else {
        swr_free(&resampler);
        avcodec_free_context(&audio);
      }
      av_channel_layout_uninit(&source_layout);
    }
    if (video_index < 0 && audio_index < 0) {
      *error = "no stream that can be decoded";
      return false;
    }
    packet = av_packet_alloc();
    frame = av_frame_alloc();
    if (!packet || !frame) return *error = "out of memory", false;
    return true;
  }

  void fail(const std::string& why) {
    std::lock_guard<std::mutex> g(mutex);
    if (failure.empty()) failure = why;
  }

  // ---- the decoding thread

  void push_picture(AVFrame* f) {
    double pts;
    int64_t ts = f->best_effort_timestamp;
    if (ts != AV_NOPTS_VALUE)
      pts = static_cast<double>(ts) * av_q2d(format->streams[video_index]->time_base) - start_seconds;
    else
      pts = last_video_pts < 0 ? 0 : last_video_pts + frame_duration;
    last_video_pts = pts;
    ++pictures_decoded;
    {
      std::lock_guard<std::mutex> g(mutex);
      decoded_pts = pts;
      consume.notify_all();
    }
    int w = target_width.load(), h = target_height.load();
    if (w == 0 && h == 0) w = f->width, h = f->height;
    if (w <= 0 || h <= 0) return;  // no room to show it: the sound still plays
    if (f->width <= 0 || f->height <= 0 || f->format < 0) return;
    w = std::min(w, max_picture_side), h = std::min(h, max_picture_side);
    std::vector<uint8_t> buffer;
    {
      std::lock_guard<std::mutex> g(mutex);
      if (!spare.empty()) {
        buffer = std::move(spare.back());
        spare.pop_back();
      }
    }
    buffer.resize(static_cast<size_t>(w) * h * 4);
    scaler = sws_getCachedContext(scaler, f->width, f->height, static_cast<AVPixelFormat>(f->format), w, h,
                                  AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!scaler) {
      fail("cannot convert the picture");
      return;
    }
    uint8_t* planes[4] = {buffer.data(), nullptr, nullptr, nullptr};
    int strides[4] = {w * 4, 0, 0, 0};
    sws_scale(scaler, f->data, f->linesize, 0, f->height, planes, strides);
    if (free_run) {
      std::lock_guard<std::mutex> g(mutex);
      spare.push_back(std::move(buffer));
      return;
    }
    std::unique_lock<std::mutex> l(mutex);
    // Pictures may pile up past the queue while the sound runs short (the
    // file holds them before the sound that plays beside them), within a
    // hard limit.
    const size_t sound_low = static_cast<size_t>(out_rate) / 4 * 2;
    produce.wait(l, [&] {
      if (quit || pictures.size() < options.video_queue_frames) return true;
      if (pictures.size() >= max_queued_pictures) return false;
      return audio_hungry || video_hungry || (audio_index >= 0 && !sound_dropped && samples.size() < sound_low);
    });
    if (quit) return;
    pictures.push_back({pts, w, h, std::move(buffer)});
    consume.notify_all();
  }

  void push_samples(AVFrame* f) {
    if (!audio_started) {
      audio_started = true;
      // Sound that starts late in the movie starts late in the stream too.
      if (f->pts != AV_NOPTS_VALUE) {
        double at = static_cast<double>(f->pts) * av_q2d(format->streams[audio_index]->time_base) - start_seconds;
        if (at > 0 && at < 10) {
          std::lock_guard<std::mutex> g(mutex);
          const size_t silence = static_cast<size_t>(at * out_rate);
          if (sound_dropped)
            dropped_frames += silence;
          else
            samples.resize(samples.size() + silence * 2, 0);
        }
      }
    }
    // A stream may change its layout, format or rate part-way (or a damaged
    // frame claims to): the resampler must match every frame it reads.
    if (f->sample_rate <= 0 || f->ch_layout.nb_channels <= 0 || f->nb_samples <= 0 || !f->extended_data) return;
    if (f->format != in_format || f->sample_rate != in_rate || av_channel_layout_compare(&f->ch_layout, &in_layout) != 0) {
      AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
      AVChannelLayout layout;
      if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&layout, f->ch_layout.nb_channels);
      else if (av_channel_layout_copy(&layout, &f->ch_layout) < 0)
        return;
      swr_free(&resampler);
      const int r = swr_alloc_set_opts2(&resampler, &stereo, AV_SAMPLE_FMT_S16, out_rate, &layout,
                                        static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
      av_channel_layout_uninit(&layout);
      if (r < 0 || swr_init(resampler) < 0) {
        fail("cannot resample the sound");
        return;
      }
      in_format = f->format;
      in_rate = f->sample_rate;
      av_channel_layout_uninit(&in_layout);
      av_channel_layout_copy(&in_layout, &f->ch_layout);
    }
    int room = swr_get_out_samples(resampler, f->nb_samples);
    if (room <= 0) return;
    std::vector<int16_t> out(static_cast<size_t>(room) * 2);
    uint8_t* planes[1] = {reinterpret_cast<uint8_t*>(out.data())};
    int got = swr_convert(resampler, planes, room, const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
    if (got < 0) {
      fail("cannot resample the sound: " + av_error_text(got));
      return;
    }
    if (free_run || got == 0) return;
    if (sound_dropped) {
      std::lock_guard<std::mutex> g(mutex);
      dropped_frames += static_cast<uint64_t>(got);
      consume.notify_all();
      return;
    }
    const size_t cap = static_cast<size_t>(options.audio_queue_ms) * out_rate / 1000 * 2;
    std::unique_lock<std::mutex> l(mutex);
    produce.wait(l, [&] { return quit || video_hungry || samples.size() < cap || (video_index >= 0 && pictures.empty()); });
    if (quit) return;
    samples.insert(samples.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(got) * 2);
    consume.notify_all();
  }

  bool stopping() {
    std::lock_guard<std::mutex> g(mutex);
    return quit || !failure.empty();
  }

  // Sends one packet (null: drain) and takes every frame it gives.
  bool decode(AVCodecContext* c, const AVPacket* p, bool is_video) {
    int r = avcodec_send_packet(c, p);
    if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_EOF) {
      fail(std::string(is_video ? "picture" : "sound") + " data rejected: " + av_error_text(r));
      return false;
    }
    for (;;) {
      r = avcodec_receive_frame(c, frame);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0) {
        fail(std::string(is_video ? "picture" : "sound") + " data rejected: " + av_error_text(r));
        return false;
      }
      if (is_video)
        push_picture(frame);
      else
        push_samples(frame);
      av_frame_unref(frame);
      if (stopping()) return false;
    }
  }

  void run() {
    for (;;) {
      if (stopping()) break;
      int r = av_read_frame(format, packet);
      if (r < 0) {
        if (r != AVERROR_EOF && !avio_feof(format->pb) && !stopping()) {
          fail("cannot read the file: " + av_error_text(r));
          break;
        }
        if (video) decode(video, nullptr, true);
        if (audio && !stopping()) decode(audio, nullptr, false);
        break;
      }
      bool ok = true;
      if (packet->stream_index == video_index)
        ok = decode(video, packet, true);
      else if (packet->stream_index == audio_index)
        ok = decode(audio, packet, false);
      av_packet_unref(packet);
      if (!ok) break;
    }
    std::lock_guard<std::mutex> g(mutex);
    finished = true;
    consume.notify_all();
  }

  // ---- the mixer's side (under the mixer's lock)

  size_t pull(int16_t* out, size_t frames) {
    std::unique_lock<std::mutex> l(mutex);
    if (options.wait_for_decoder && samples.size() < frames * 2 && !finished && failure.empty() && !quit) {
      audio_hungry = true;
      produce.notify_all();
      consume.wait_for(l, std::chrono::milliseconds(options.wait_limit_ms), [&] {
        return samples.size() >= frames * 2 || finished || !failure.empty() || quit;
      });
      audio_hungry = false;
    }
    size_t n = std::min(frames, samples.size() / 2);
    std::copy(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(n * 2), out);
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(n * 2));
    produce.notify_all();
    return n;
  }

  // ---- the movie's clock, in seconds

  // What the mixer has taken of the sound; once the sound has run out (a
  // movie whose pictures last longer, or a damaged one) the platform clock
  // carries on from there, so the last pictures and the end still come.
  double now() {
    const uint32_t t = clock ? clock->tick_ms() : 0;
    const uint32_t delta = t - clock_base;
    clock_base = t;
    if (stream && !sound_done) {
      clock_seconds = static_cast<double>(stream->frames_played()) / out_rate;
      std::lock_guard<std::mutex> g(mutex);
      if (finished && samples.empty()) sound_done = true;
      return clock_seconds;
    }
    if (!paused) clock_seconds += delta / 1000.0;
    return clock_seconds;
  }

  void set_paused(bool p) {
    now();  // book the time up to here
    paused = p;
    if (stream) stream->set_paused(p);
  }
};

FfmpegMoviePlayer::FfmpegMoviePlayer(Ui* ui, AudioDevice* audio, Clock* clock, const ffmpeg_movie_options& options)
    : ui_(ui), audio_(audio), clock_(clock), options_(options) {}

FfmpegMoviePlayer::~FfmpegMoviePlayer() { session_.reset(); }

bool FfmpegMoviePlayer::play(const std::string& host_path, int window, const movie_rect& rect, int32_t volume,
                             std::string* error) {
  close();
  std::string ignored;
  if (!error) error = &ignored;
  auto s = std::make_unique<session>();
  s->options = options_;
  s->clock = clock_;
  s->window = window;
  s->rect = rect;
  s->target_width = rect.width > 0 ? rect.width : -1;
  s->target_height = rect.height > 0 ? rect.height : -1;
  if (!s->open(host_path, audio_ ? audio_->output_rate() : 44100, error)) return false;
  if (s->audio_index >= 0 && audio_) {
    session* raw = s.get();
    s->stream = audio_->create_stream([raw](int16_t* out, size_t frames) { return raw->pull(out, frames); });
  }
  if (s->stream) s->stream->set_volume(volume);
  // Without a device that takes samples the sound would pile up unheard and
  // hold the end back for ever: the movie goes on by the platform clock.
  s->sound_dropped = s->audio_index >= 0 && !s->stream;
  volume_ = volume;
  ended_ = false;
  end_taken_ = false;
  end_reason_.clear();
  s->clock_base = clock_ ? clock_->tick_ms() : 0;
  s->thread = std::thread([raw = s.get()] { raw->run(); });
  if (s->stream) s->stream->set_paused(false);
  session_ = std::move(s);
  return true;
}

void FfmpegMoviePlayer::stop() {
  if (session_) session_->set_paused(true);
}

void FfmpegMoviePlayer::close() {
  if (!session_) return;
  int window = session_->window;
  session_.reset();
  if (ui_) ui_->clear_overlay(window);
}

void FfmpegMoviePlayer::set_volume(int32_t hundredths_db) {
  volume_ = std::clamp(hundredths_db, -10000, 0);
  if (session_ && session_->stream) session_->stream->set_volume(volume_);
}

void FfmpegMoviePlayer::set_rect(const movie_rect& rect) {
  if (!session_) return;
  session_->rect = rect;
  session_->target_width = rect.width > 0 ? rect.width : -1;
  session_->target_height = rect.height > 0 ? rect.height : -1;
}

void FfmpegMoviePlayer::end_locked() {
  if (ended_) return;
  ended_ = true;
  if (ui_) {
    ui_event e;
    e.message = msg_movie_event;
    e.window = 0;
    ui_->post_event(e);
  }
}

void FfmpegMoviePlayer::update() {
  session* s = session_.get();
  if (!s || ended_ || s->paused) return;
  // Reading the clock first brings the sound up to now (headless: every
  // sample due by the virtual clock is mixed).
  const double now = s->now();
  video_picture shown;
  bool have = false, over = false;
  std::string reason;
  {
    std::unique_lock<std::mutex> l(s->mutex);
    if (s->options.wait_for_decoder) {
      // A picture past the clock has been decoded, and a dropped sound's
      // length runs past it too (or there is no more).
      auto ready = [&] {
        if (s->finished || s->quit || !s->failure.empty()) return true;
        if (s->video_index >= 0 && s->decoded_pts <= now) return false;
        return !s->sound_dropped || s->dropped_seconds() > now;
      };
      if (!ready()) {
        s->video_hungry = true;
        s->produce.notify_all();
        s->consume.wait_for(l, std::chrono::milliseconds(s->options.wait_limit_ms), ready);
        s->video_hungry = false;
      }
    }
    // The latest picture the clock has reached; older ones are dropped.
    while (!s->pictures.empty() && s->pictures.front().pts <= now) {
      if (have) s->spare.push_back(std::move(shown.bgra));
      shown = std::move(s->pictures.front());
      s->pictures.pop_front();
      have = true;
    }
    if (have) s->shown_pts = shown.pts;
    s->produce.notify_all();
    if (!s->failure.empty()) {
      over = true;
      reason = s->failure;
    } else if (s->finished && s->pictures.empty() && s->samples.empty()) {
      // The last picture stays up for its own duration, and a dropped sound
      // for as long as it would have played.
      over = (s->video_index < 0 || s->shown_pts < 0 || now >= s->shown_pts + s->frame_duration) &&
             (!s->sound_dropped || now >= s->dropped_seconds());
    }
  }
  if (have && ui_ && !shown.bgra.empty()) {
    ui_->show_overlay(s->window, shown.bgra.data(), shown.width, shown.height, shown.width * 4, s->rect.x, s->rect.y);
    ++frames_shown_;
    std::lock_guard<std::mutex> g(s->mutex);
    s->spare.push_back(std::move(shown.bgra));
  }
  if (over) {
    end_reason_ = reason;
    if (s->stream) s->stream->set_paused(true);
    end_locked();
  }
}

bool FfmpegMoviePlayer::take_end(std::string* reason) {
  if (!ended_ || end_taken_) return false;
  end_taken_ = true;
  if (reason) *reason = end_reason_;
  return true;
}

uint64_t FfmpegMoviePlayer::frames_shown() const { return frames_shown_; }

bool FfmpegMoviePlayer::is_open() const { return session_ != nullptr; }

int64_t FfmpegMoviePlayer::decode_all(const std::string& host_path, int width, int height, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  session s;
  s.free_run = true;
  s.target_width = width;
  s.target_height = height;
  if (!s.open(host_path, 44100, error)) return -1;
  s.run();
  if (!s.failure.empty()) {
    *error = s.failure;
    return -1;
  }
  return s.pictures_decoded;
}
