#include "sound/sound_player.h"

#include "platform/platform.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "resources/resource_locator.h"
#include "sound/ogg_memory.h"
#include "sound/sound_queue.h"
#include "sound/sound_thread.h"
#include "sound/wave_file.h"

sound_device_record sound_device;

namespace {

// The resolved name through the resource sources in their configured order
// (memory caches, compiler list, packs, loose files).
bool read_through_locator(const char* name, std::vector<uint8_t>& out) {
  resource_locator locator;
  if (locate_resource(locator, name, false) <= 0) return false;
  if (read_located_resource(locator, name) != 0) return false;
  out = std::move(locator.data);
  out.resize(locator.size);
  return true;
}

uint32_t now_ms() { return platform_installed() && platform().clock ? platform().clock->tick_ms() : 0; }

uint8_t silence_value(const sound_record* r) { return r->format.bits == 8 ? 0x80 : 0x00; }

template <class V>
void release(V& v) {
  V().swap(v);
}

void copy_name(char* dst, const char* src) {
  size_t n = src ? strnlen(src, sound_name_size - 1) : 0;
  if (n) std::memcpy(dst, src, n);
  dst[n] = 0;
}

// Every node below the top in child order, groups before their children.
template <class F>
int walk_nodes(object_node* parent, F&& visit) {
  for (object_node* n = parent ? sound_node_first_child(parent) : nullptr; n; n = sound_node_next_sibling(n)) {
    int rc = visit(n);
    if (rc < 0) return rc;
    if (sound_node_is_group(n)) {
      rc = walk_nodes(n, visit);
      if (rc < 0) return rc;
    }
  }
  return 0;
}

// Every sound (leaf with a record) of the tree.
template <class F>
int walk_sounds(F&& visit) {
  return walk_nodes(sound_tree_root(), [&](object_node* n) {
    sound_record* r = sound_node_record(n);
    if (!r || sound_node_is_group(n)) return 0;
    return visit(n, r);
  });
}

bool started(const sound_record* r) { return r->state >= sound_fading_in; }

// Bytes of the buffer part that starts at `offset` (the second half takes the
// odd byte of a one-second buffer with an odd byte count).
uint32_t part_bytes(const sound_record* r, int32_t offset) {
  uint32_t half = r->buffer_bytes / 2;
  return offset == 0 ? half : r->buffer_bytes - half;
}

// While quit is set, started sounds only drop to idle at volume 2.
bool quit_walk() {
  if (!quit_flag.load()) return false;
  walk_sounds([](object_node* n, sound_record* r) {
    if (started(r)) {
      apply_sound_volume(n, 2);
      r->state = sound_idle;
    }
    return 0;
  });
  return true;
}

int map_ogg_read_error(long rc) {
  if (rc == OV_HOLE) return -90001;
  if (rc == OV_EBADLINK) return -90002;
  return static_cast<int>(rc);
}

int sound_open_ogg(sound_record* r) {
  ogg_memory_source src{r->file_image.data(), r->file_size, 0};
  OggVorbis_File vf;
  if (ogg_memory_open(&src, &vf) < 0) return -1030;
  int rc = 0;
  vorbis_info* info = nullptr;
  if (ov_seekable(&vf) == 0) rc = -1040;
  else if (ov_streams(&vf) != 1) rc = -1045;
  else if (!(info = ov_info(&vf, -1))) rc = -1050;
  if (rc) {
    ov_clear(&vf);
    return rc;
  }
  double total = ov_time_total(&vf, -1);
  r->length = total > 0 ? static_cast<int64_t>(total * 1000.0) : 0;
  r->loop_end = static_cast<int32_t>(std::min<int64_t>(r->length, INT32_MAX));
  r->data_form = sound_form_ogg;
  int channels = info->channels;
  long rate = info->rate;
  ov_clear(&vf);
  if (channels <= 0 || channels > 255 || rate <= 0 || rate > 1000000) return -1120;
  uint32_t ba = static_cast<uint32_t>(channels) * 2;
  return create_sound_buffer(r, static_cast<uint16_t>(channels), static_cast<uint32_t>(rate),
                             static_cast<uint32_t>(rate) * ba, static_cast<uint16_t>(ba), 16);
}

namespace {

bool converts_itself(const wave_format_block& f) {
  if (f.channels > 2) return false;
  switch (f.format_tag) {
    case wave_tag_alaw:
    case wave_tag_mulaw:
    case wave_tag_ima_adpcm:
    case wave_tag_ms_adpcm: return true;
    case wave_tag_extensible:
      // Only extensible PCM (its sub-format starts with tag 1).
      return f.extra.size() >= 22 && f.extra[6] == 1 && f.extra[7] == 0;
    default: return false;
  }
}

int convert_with_audio_service(const wave_format_block& in, const uint8_t* data, size_t size,
                               wave_format_block& out_format, std::vector<uint8_t>& out_pcm) {
  AudioDecoder* decoder = platform_installed() ? platform().audio_decoder : nullptr;
  if (!decoder) return wave_error_no_converter;
  wave_stream_format f;
  f.format_tag = in.format_tag;
  f.channels = in.channels;
  f.rate = in.rate;
  f.bytes_per_second = in.bytes_per_second;
  f.block_align = in.block_align;
  f.bits = in.bits;
  f.extra = in.extra;
  decoded_pcm pcm;
  const int rc = decoder->decode_wave(f, data, size, pcm);
  if (rc == audio_decode_no_decoder) return wave_error_no_converter;
  if (rc != audio_decode_ok || pcm.channels < 1 || pcm.channels > 2 || pcm.rate == 0) return wave_error_not_possible;
  out_format = wave_format_block{};
  out_format.format_tag = wave_tag_pcm;
  out_format.channels = pcm.channels;
  out_format.rate = pcm.rate;
  out_format.bits = 16;
  out_format.block_align = static_cast<uint16_t>(pcm.channels * 2);
  out_format.bytes_per_second = pcm.rate * out_format.block_align;
  out_pcm.swap(pcm.samples);
  return 0;
}

}  // namespace

int sound_open_wav(sound_record* r) {
  // A converted sound keeps its PCM block and format: the image is no longer a
  // RIFF file, so re-parsing it (on resume) would fail.
  if (r->data_form != sound_form_converted) {
    wave_chunks chunks;
    int rc = find_wave_chunks(r->file_image.data(), r->file_image.size(), chunks);
    if (rc) return rc;
    wave_format_block fmt;
    rc = read_wave_format(r->file_image.data(), chunks, fmt);
    if (rc) return rc;
    // Plain PCM plays in place when the device takes it as it is: one or two
    // channels of 8, 16, 24 or 32 bits.
    // (A block with no channels or no bits stays here and fails as no buffer.)
    const bool usual_bits = fmt.bits == 0 || fmt.bits == 8 || fmt.bits == 16 || fmt.bits == 24 || fmt.bits == 32;
    const bool plays_in_place = fmt.format_tag == wave_tag_pcm && fmt.channels <= 2 && usual_bits;
    if (plays_in_place) {
      r->data_form = sound_form_pcm;
      r->pcm_offset = chunks.data_offset;
      r->pcm_bytes = static_cast<uint32_t>(std::min<size_t>(chunks.data_size, UINT32_MAX));
      r->format = {wave_tag_pcm, fmt.channels, fmt.rate, fmt.bytes_per_second, fmt.block_align, fmt.bits, 0};
    } else {
      wave_format_block out;
      std::vector<uint8_t> pcm;
      try {
        const uint8_t* data = r->file_image.data() + chunks.data_offset;
        // The player converts its own formats of one or two channels; whatever
        // else goes to the system's audio conversion service.
        if (converts_itself(fmt))
          rc = convert_wave_to_pcm(fmt, data, chunks.data_size, out, pcm);
        else
          rc = convert_with_audio_service(fmt, data, chunks.data_size, out, pcm);
      } catch (const std::bad_alloc&) {
        rc = wave_error_output_memory;
      }
      if (rc) return rc;
      if (pcm.size() > UINT32_MAX) return wave_error_output_memory;
      r->file_image.swap(pcm);
      r->file_size = static_cast<int64_t>(r->file_image.size());
      r->data_form = sound_form_converted;
      r->pcm_offset = 0;
      r->pcm_bytes = static_cast<uint32_t>(r->file_image.size());
      r->format = {wave_tag_pcm, out.channels, out.rate, out.bytes_per_second, out.block_align, out.bits, 0};
    }
  }
  uint64_t divisor = static_cast<uint64_t>(r->format.rate) * r->format.block_align;
  r->length = divisor ? static_cast<int64_t>(static_cast<uint64_t>(r->pcm_bytes) * 1000 / divisor) : 0;
  r->loop_end = static_cast<int32_t>(std::min<int64_t>(r->length, INT32_MAX));
  if (divisor > UINT32_MAX) return -1120;
  return create_sound_buffer(r, r->format.channels, r->format.rate, static_cast<uint32_t>(divisor),
                             r->format.block_align, r->format.bits);
}

// Seeks an open Ogg stream (or reopens one when `vf` is null).
int seek_ogg(sound_record* r, int64_t ms, OggVorbis_File* vf) {
  OggVorbis_File own;
  ogg_memory_source src{r->file_image.data(), r->file_size, 0};
  if (!vf) {
    if (ogg_memory_open(&src, &own) < 0) return -2010;
  }
  OggVorbis_File* f = vf ? vf : &own;
  int rc = 0;
  if (ov_time_seek(f, static_cast<double>(ms) / 1000.0) != 0) rc = -2020;
  else r->decoder_position = ov_pcm_tell(f);
  if (!vf) ov_clear(&own);
  return rc;
}

int seek(sound_record* r, int64_t ms, OggVorbis_File* vf) {
  if (ms >= r->length) ms = r->length - 10;
  const int64_t bps = r->bytes_per_second;
  const int64_t ba = std::max<int64_t>(r->format.block_align, 1);
  if (ms < 0) {
    r->leading_silence += -ms * bps / 1000;
    r->leading_silence -= r->leading_silence % ba;
  }
  r->decoded_position = ms * bps / 1000;
  if (ms < 0) ms = 0;
  if (r->codec == sound_codec_ogg) return seek_ogg(r, ms, vf);
  int64_t p = ms * bps / 1000;
  p -= p % ba;
  int64_t last = static_cast<int64_t>(r->pcm_bytes) - ba;
  if (p > last) p = last;
  if (p < 0) p = 0;
  r->decoder_position = p;
  return 0;
}

int fill_half(sound_record* r, OggVorbis_File* vf) {
  const int64_t part = part_bytes(r, r->refill_offset);
  const int64_t ba = std::max<int64_t>(r->format.block_align, 1);
  const int64_t bps = r->bytes_per_second;
  const uint8_t quiet = silence_value(r);
  uint8_t* out = r->half_buffer.data();
  int64_t filled = r->carry_count;
  if (filled) std::memcpy(out, r->carry_buffer.data(), static_cast<size_t>(filled));
  r->carry_count = 0;
  int64_t pass = 0;
  bool empty_pass = false;  // a pass began and has yielded nothing yet
  // WAV copies stay whole frames so a 24-bit stream keeps its alignment.
  const int64_t chunk = r->codec == sound_codec_ogg ? 4096 : 4096 - 4096 % ba;
  while (filled < part) {
    if (r->leading_silence > 0) {
      int64_t n = std::min(r->leading_silence, part - filled);
      std::memset(out + filled, quiet, static_cast<size_t>(n));
      filled += n;
      pass += n;
      r->leading_silence -= n;
      continue;
    }
    int64_t loop_end_bytes = static_cast<int64_t>(r->loop_end) * bps / 1000;
    int64_t want = chunk;
    if (r->decoded_position + pass + chunk >= loop_end_bytes) {
      want = std::max<int64_t>(loop_end_bytes - r->decoded_position - pass, 0);
      want -= want % ba;
    }
    int64_t got = 0;
    if (r->codec == sound_codec_ogg) {
      if (want >= 32) {
        int bitstream = 0;
        long rc = ov_read(vf, reinterpret_cast<char*>(out + filled), static_cast<int>(want), 0, 2, 1, &bitstream);
        if (rc < 0) return map_ogg_read_error(rc);
        got = rc;
      }
    } else {
      int64_t end = static_cast<int64_t>(r->pcm_bytes) - static_cast<int64_t>(r->pcm_bytes) % ba;
      got = std::clamp<int64_t>(end - r->decoder_position, 0, want);
      if (got) {
        std::memcpy(out + filled, r->file_image.data() + r->pcm_offset + r->decoder_position, static_cast<size_t>(got));
        r->decoder_position += got;
      }
    }
    if (got == 0) {
      // End of a pass. The last one (count 1), or a loop region that yields
      // nothing at all, plays silence for the rest of the half.
      if (r->decoder_loop_count == 1 || empty_pass) {
        std::memset(out + filled, quiet, static_cast<size_t>(part - filled));
        filled = part;
        break;
      }
      r->decoder_loop_count = std::max(r->decoder_loop_count - 1, 0);
      int32_t restart = r->loop_start >= r->loop_end ? 0 : r->loop_start;
      r->pending_loop_end = r->loop_end;
      r->pending_loop_start = restart;
      int rc = seek(r, restart, vf);
      if (rc < 0) return -2020;
      pass = 0;
      empty_pass = true;
      continue;
    }
    empty_pass = false;
    filled += got;
    pass += got;
  }
  r->decoded_position += pass;
  if (r->codec == sound_codec_ogg) r->decoder_position = ov_pcm_tell(vf);
  r->carry_count = static_cast<int32_t>(filled - part);
  if (r->carry_count > 0) std::memcpy(r->carry_buffer.data(), out + part, static_cast<size_t>(r->carry_count));
  return 0;
}

// Fills the part at the refill offset and writes it into the buffer.
int fill_and_write(sound_record* r) {
  if (r->half_buffer.empty() || r->carry_buffer.empty()) return -3030;
  int rc;
  if (r->codec == sound_codec_ogg) {
    ogg_memory_source src{r->file_image.data(), r->file_size, 0};
    OggVorbis_File vf;
    if (ogg_memory_open(&src, &vf) < 0) return -3010;
    if (ov_pcm_seek(&vf, r->decoder_position) != 0) {
      ov_clear(&vf);
      return -3020;
    }
    rc = fill_half(r, &vf);
    ov_clear(&vf);
  } else {
    rc = fill_half(r, nullptr);
  }
  if (rc < 0) {
    release(r->half_buffer);
    return rc;
  }
  if (r->buffer && !r->buffer->write(static_cast<uint32_t>(r->refill_offset), r->half_buffer.data(),
                                     part_bytes(r, r->refill_offset)))
    return -3030;
  return 0;
}

// Adds the play cursor's progress since the last look to the played bytes.
int advance_played(sound_record* r, int no_buffer, int failure) {
  if (!r->buffer) return no_buffer;
  uint32_t play = 0;
  if (!r->buffer->get_cursors(&play, nullptr)) return failure;
  int64_t delta = static_cast<int64_t>(play) - r->last_cursor;
  if (play < r->last_cursor) delta += r->buffer_bytes;
  r->last_cursor = play;
  r->played_bytes += delta;
  return 0;
}

int start_sound(sound_record* r, object_node* n, int error_base) {
  if (r->start >= r->loop_end) r->start = 0;
  int rc = seek(r, r->start, nullptr);
  if (rc < 0) return rc;
  r->played_bytes = r->decoded_position;
  r->next_half = 1;
  r->refill_offset = 0;
  rc = fill_and_write(r);
  if (rc < 0) return rc;
  apply_sound_volume(n, 0);
  set_sound_pan(r, r->pan);
  // The frequency too: a sound played again after a stop gets a new buffer.
  set_sound_frequency(r, r->frequency);
  if (!r->buffer) return -1;
  if (!r->buffer->play(true)) return -error_base;
  r->fade_start_volume = 0;
  r->fade_rate = r->fade_target * 1024;
  if (r->fade_time) r->fade_rate /= r->fade_time;
  r->fade_end_time = 0;
  r->state = sound_fading_in;
  return 0;
}

bool resume_allowed(object_node* n) {
  if (sound_thread.paused_by_focus.load()) return false;
  for (; n && !sound_node_is_top(n); n = sound_node_parent(n)) {
    sound_record* r = sound_node_record(n);
    if (r && (!r->enabled || r->paused)) return false;
  }
  return true;
}

int sound_pause_one(sound_record* r) {
  if (!started(r) || r->held) return 0;
  int rc = advance_played(r, -410, -420);
  if (rc < 0) return rc;
  r->buffer->stop();
  r->buffer.reset();
  release(r->half_buffer);
  release(r->carry_buffer);
  r->pause_time = now_ms();
  r->held = 1;
  return 0;
}

int sound_resume_one(object_node* n, sound_record* r) {
  if (!started(r) || !r->held) return 0;
  r->next_half = 1;
  r->start = r->bytes_per_second ? static_cast<int32_t>(r->played_bytes * 1000 / r->bytes_per_second) : 0;
  r->played_bytes = 0;
  r->last_cursor = 0;
  r->carry_count = 0;
  r->leading_silence = 0;
  int32_t keep_loop_end = r->loop_end;
  int rc = sound_open(r);
  if (rc < 0) return rc;
  r->loop_end = keep_loop_end;
  if (r->start >= r->loop_end) r->start = 0;
  rc = seek(r, r->start, nullptr);
  if (rc < 0) return rc;
  r->played_bytes = r->decoded_position;
  r->refill_offset = 0;
  rc = fill_and_write(r);
  if (rc < 0) return rc;
  apply_sound_volume(n, r->fade_target);
  set_sound_pan(r, r->pan);
  set_sound_frequency(r, r->frequency);
  if (!r->buffer) return -430;
  if (!r->buffer->play(true)) return -440;
  r->pause_time = 0;
  r->held = 0;
  return 0;
}

sound_record* entry_record(int entry, object_node** node) {
  object_node* n = sound_command_queue.node[entry];
  if (node) *node = n;
  return n ? sound_node_record(n) : nullptr;
}

}  // namespace

bool (*sound_read_file)(const char* name, std::vector<uint8_t>& out) = read_through_locator;

// ---------------------------------------------------------------- device and records

int create_direct_sound() {
  AudioDevice* device = platform_installed() ? platform().audio : nullptr;
  if (!device || !device->open()) {
    sound_device.device = nullptr;
    sound_device.enabled = 0;
    return 0;
  }
  sound_device.device = device;
  sound_device.enabled = 1;
  return 1;
}

void release_direct_sound() {
  if (sound_device.device) sound_device.device->close();
  sound_device.device = nullptr;
  sound_device.enabled = 0;
}

sound_record* alloc_sound_record(object_node* node) {
  sound_record* r = new (std::nothrow) sound_record;
  if (!r) {
    report_error(100010, 1);
    return nullptr;
  }
  if (node) {
    std::lock_guard<engine_mutex> g(engine_lock);
    set_sound_node_record(node, r);
  }
  return r;
}

void free_sound_record(sound_record* record) { delete record; }

const std::vector<uint8_t>& silent_wave_image() {
  static const std::vector<uint8_t> image = [] {
    std::vector<uint8_t> w(4044, 128);
    size_t at = 0;
    auto tag = [&](const char* t) {
      for (int i = 0; i < 4; ++i) w[at++] = static_cast<uint8_t>(t[i]);
    };
    auto u32 = [&](uint32_t v) {
      for (int i = 0; i < 4; ++i) w[at++] = static_cast<uint8_t>(v >> (8 * i));
    };
    auto u16 = [&](uint16_t v) {
      w[at++] = static_cast<uint8_t>(v);
      w[at++] = static_cast<uint8_t>(v >> 8);
    };
    tag("RIFF"), u32(4036), tag("WAVE"), tag("fmt "), u32(16);
    u16(1), u16(1), u32(8000), u32(8000), u16(1), u16(8);
    tag("data"), u32(4000);
    return w;
  }();
  return image;
}

int load_sound_data(sound_record* r, object_node* node) {
  if (!r->file_image.empty()) return -1010;
  if (node && sound_node_key1(node) == sound_root_key1 && sound_node_key2(node) == sound_root_key2) {
    r->file_image = silent_wave_image();
  } else if (!sound_read_file || !sound_read_file(r->name, r->file_image)) {
    release(r->file_image);
    return -1020;
  }
  r->file_size = static_cast<int64_t>(r->file_image.size());
  r->read_position = 0;
  r->data_form = 0;  // a fresh image: parse it
  r->pcm_bytes = 0;
  return sound_open(r);
}

int sound_open(sound_record* r) {
  if (!sound_device.enabled.load()) return 0;
  if (r->codec == sound_codec_ogg) return sound_open_ogg(r);
  if (r->codec == sound_codec_wav) return sound_open_wav(r);
  return -1020;
}

int create_sound_buffer(sound_record* r, uint16_t channels, uint32_t rate, uint32_t bytes_per_second,
                        uint16_t block_align, uint16_t bits) {
  (void)bytes_per_second;  // one second of the buffer is rate x block align
  // A format that no buffer can have is refused before anything divides by it.
  if (channels == 0 || rate == 0 || block_align == 0 || bits == 0) return -1120;
  uint64_t bytes = static_cast<uint64_t>(rate) * block_align;
  if (bytes > (1u << 26)) return -1120;
  r->format = {1, channels, rate, static_cast<uint32_t>(bytes), block_align, bits, 0};
  r->buffer_bytes = static_cast<uint32_t>(bytes);
  r->bytes_per_second = static_cast<int64_t>(bytes);
  if (!r->carry_buffer.empty()) return -1060;
  try {
    r->carry_buffer.assign(sound_carry_bytes, 0);
  } catch (const std::bad_alloc&) {
    return -1070;
  }
  if (!r->half_buffer.empty()) return -1080;
  try {
    r->half_buffer.assign(r->buffer_bytes - r->buffer_bytes / 2 + sound_carry_bytes, 0);
  } catch (const std::bad_alloc&) {
    return -1090;
  }
  if (!sound_device.device) return 0;
  audio_buffer_format f{channels, rate, bits, block_align};
  r->buffer = sound_device.device->create_buffer(f, r->buffer_bytes);
  if (!r->buffer) return -1120;
  return 0;
}

int sound_seek_ms(sound_record* r, int64_t ms) { return seek(r, ms, nullptr); }

int refill_half(sound_record* r) { return fill_and_write(r); }

void free_sound_buffers(sound_record* r) {
  if (r->buffer) {
    r->buffer->stop();
    r->buffer.reset();
  }
  release(r->half_buffer);
  release(r->carry_buffer);
  release(r->file_image);
  r->file_size = 0;
  r->start = 0;
  r->loop_start = 0;
  r->held = 0;
  r->pause_time = 0;
}

// ---------------------------------------------------------------- volume, pan, frequency

int32_t sound_volume_to_hundredths_db(int32_t v) {
  if (v <= 0) return -10000;
  double db = std::trunc(std::log10(v / 256.0) * 40.0 * 100.0);
  return static_cast<int32_t>(std::clamp(db, -10000.0, 0.0));
}

int32_t sound_pan_to_hundredths_db(int32_t v) {
  if (v < 0 || v > 512) return 0;
  int32_t c = v <= 256 ? v : 512 - v;
  int32_t att = c == 0 ? -10000 : static_cast<int32_t>(std::clamp(std::trunc(std::log10(c / 256.0) * 4000.0), -10000.0, 0.0));
  return v <= 256 ? att : -att;
}

uint32_t sound_frequency_to_rate(uint32_t rate, int32_t v) {
  if (v < 0 || v > 512) v = 256;
  int64_t r = static_cast<int64_t>(rate) + static_cast<int64_t>(v - 256) * static_cast<int64_t>(rate / 2) / 256;
  return static_cast<uint32_t>(std::max<int64_t>(r, 0));
}

void set_sound_volume(sound_record* r, int32_t v) {
  if (r && r->buffer) r->buffer->set_volume(sound_volume_to_hundredths_db(v));
}

void set_sound_pan(sound_record* r, int32_t v) {
  if (r && r->buffer) r->buffer->set_pan(sound_pan_to_hundredths_db(v));
}

void set_sound_frequency(sound_record* r, int32_t v) {
  if (r && r->buffer) r->buffer->set_frequency(sound_frequency_to_rate(r->format.rate, v));
}

int32_t effective_sound_volume(object_node* n) {
  if (!n || sound_node_is_top(n)) return 256;
  sound_record* r = sound_node_record(n);
  int64_t own = r ? (r->enabled ? r->volume : 0) : 256;
  int64_t v = own * effective_sound_volume(sound_node_parent(n)) >> 8;
  return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

void apply_sound_volume(object_node* n, int32_t v) {
  if (!n) return;
  if (sound_node_is_group(n)) {
    for (object_node* c = sound_node_first_child(n); c; c = sound_node_next_sibling(c)) {
      sound_record* cr = sound_node_record(c);
      if (cr) apply_sound_volume(c, cr->volume);
    }
    return;
  }
  sound_record* r = sound_node_record(n);
  if (!r) return;
  int64_t eff = r->enabled ? static_cast<int64_t>(v) * effective_sound_volume(sound_node_parent(n)) >> 8 : 0;
  set_sound_volume(r, static_cast<int32_t>(std::clamp<int64_t>(eff, INT32_MIN, INT32_MAX)));
}

// ---------------------------------------------------------------- peak levels

namespace {
int peak(sound_record* r, bool second) {
  if (!r || !r->buffer) return -1;
  const sound_format& f = r->format;
  if ((f.channels != 1 && f.channels != 2) || (f.bits != 8 && f.bits != 16)) return -1;
  uint32_t play = 0;
  if (!r->buffer->get_cursors(&play, nullptr)) return -1;
  uint8_t frame[4] = {};
  uint32_t bytes = f.bits / 8u * f.channels;
  if (!r->buffer->read(play, frame, bytes)) return -1;
  int channel = (second && f.channels == 2) ? 1 : 0;
  if (f.bits == 16) return std::abs(static_cast<int>(static_cast<int16_t>(frame[channel * 2] | (frame[channel * 2 + 1] << 8))));
  return std::abs(static_cast<int>(frame[channel]) - 128);
}
}  // namespace

int sound_peak_level(sound_record* r) { return peak(r, false); }
int sound_peak_level_2(sound_record* r) { return peak(r, true); }

// ---------------------------------------------------------------- queue handlers

int sound_request_load(int entry) {
  object_node* n;
  sound_record* r = entry_record(entry, &n);
  if (!r) return 1;
  if (r->state != sound_idle) {
    set_sound_volume(r, 0);
    free_sound_buffers(r);
    r->state = sound_idle;
    return 0;  // the load itself runs next cycle
  }
  copy_name(r->name, sound_command_queue.name[entry]);
  r->decoder_loop_count = 0;
  r->next_half = 1;
  r->pan = 256;
  r->frequency = 256;
  r->start = r->loop_start = r->loop_end = 0;
  r->played_bytes = 0;
  r->pending_loop_start = r->pending_loop_end = 0;
  int rc = load_sound_data(r, n);
  if (rc < 0) return rc;
  r->state = sound_loaded;
  return 1;
}

int sound_request_play(int entry) {
  object_node* n;
  sound_record* r = entry_record(entry, &n);
  if (!r) return 1;
  int32_t time = sound_command_queue.argument[entry];
  uint32_t now = now_ms();
  switch (r->state.load()) {
    case sound_idle: {
      if (!r->name[0]) return 1;
      r->next_half = 1;
      r->start = 0;
      r->played_bytes = 0;
      r->last_cursor = 0;
      r->carry_count = 0;
      r->leading_silence = 0;
      r->fade_start_time = now;
      r->fade_time = time;
      int rc = load_sound_data(r, n);
      if (rc < 0) return rc;
      rc = start_sound(r, n, 110);
      return rc < 0 ? rc : 1;
    }
    case sound_loaded: {
      r->last_cursor = 0;
      r->carry_count = 0;
      r->leading_silence = 0;
      r->fade_start_time = now;
      r->fade_time = time;
      int rc = start_sound(r, n, 120);
      return rc < 0 ? rc : 1;
    }
    case sound_fading_in:
    case sound_playing: {
      int32_t from = r->state == sound_fading_in ? r->previous_target : r->volume;
      r->fade_start_time = now;
      r->fade_end_time = 0;
      r->fade_start_volume = r->volume;
      r->fade_time = time;
      r->fade_rate = (r->fade_target - from) * 1024;
      if (time) r->fade_rate /= time;
      r->state = sound_fading_in;
      return 1;
    }
    default: {  // fading out: stop now, start over next cycle
      std::swap(r->fade_start_volume, r->fade_target);
      set_sound_volume(r, 0);
      free_sound_buffers(r);
      r->state = sound_idle;
      return 0;
    }
  }
}

int sound_request_pause(int entry) {
  object_node* n;
  sound_record* r = entry_record(entry, &n);
  if (!r) return 1;
  int32_t value = sound_command_queue.argument[entry];
  r->paused = value ? 1 : 0;
  int rc = pause_sound_node(n, value ? 1 : 0);
  return rc < 0 ? rc : 1;
}

int sound_request_fade_out(int entry) {
  sound_record* r = entry_record(entry, nullptr);
  if (!r || !started(r)) return 1;
  int32_t time = sound_command_queue.argument[entry];
  int32_t from = r->state == sound_fading_in ? r->previous_target : r->volume;
  r->fade_start_volume = r->volume;
  r->fade_target = 0;
  r->fade_rate = -(from * 1024);
  if (time) r->fade_rate /= time;
  r->fade_time = time;
  r->fade_start_time = now_ms();
  r->fade_end_time = 0;
  r->state = sound_fading_out;
  return 1;
}

int sound_request_set_volume(int entry) {
  object_node* n;
  sound_record* r = entry_record(entry, &n);
  if (!r) return 1;
  int32_t v = sound_command_queue.argument[entry];
  r->volume = r->fade_target = r->previous_target = v;
  apply_sound_volume(n, v);
  return 1;
}

int sound_request_set_fade_target(int entry) {
  sound_record* r = entry_record(entry, nullptr);
  if (!r) return 1;
  r->previous_target = r->fade_target;
  r->fade_target = sound_command_queue.argument[entry];
  return 1;
}

int sound_request_set_loop_count(int entry) {
  sound_record* r = entry_record(entry, nullptr);
  if (r && r->state != sound_idle) r->decoder_loop_count = sound_command_queue.argument[entry];
  return 1;
}

int sound_request_set_loop_end(int entry) {
  sound_record* r = entry_record(entry, nullptr);
  if (r && r->state != sound_idle) {
    int64_t v = sound_command_queue.argument[entry];
    r->loop_end = static_cast<int32_t>(std::min<int64_t>(v, r->length));
  }
  return 1;
}

int sound_request_set_start(int entry) {
  sound_record* r = entry_record(entry, nullptr);
  if (r && r->state != sound_idle) {
    int32_t v = sound_command_queue.argument[entry];
    r->start = v >= r->length ? 0 : v;
  }
  return 1;
}

int sound_request_set_loop_start(int entry) {
  sound_record* r = entry_record(entry, nullptr);
  if (r && r->state != sound_idle) {
    int32_t v = sound_command_queue.argument[entry];
    r->loop_start = v >= r->length ? 0 : v;
  }
  return 1;
}

int sound_request_set_pan(int entry) {
  sound_record* r = entry_record(entry, nullptr);
  if (r && r->state != sound_idle) {
    r->pan = sound_command_queue.argument[entry];
    set_sound_pan(r, r->pan);
  }
  return 1;
}

int sound_request_set_frequency(int entry) {
  sound_record* r = entry_record(entry, nullptr);
  if (r && r->state != sound_idle) {
    r->frequency = sound_command_queue.argument[entry];
    set_sound_frequency(r, r->frequency);
  }
  return 1;
}

int sound_request_synchronise(int) { return 1; }

int sound_request_unload(int entry) {
  sound_record* r = entry_record(entry, nullptr);
  if (r && r->state != sound_idle) {
    r->name[0] = 0;
    set_sound_volume(r, 0);
    free_sound_buffers(r);
    r->state = sound_idle;
  }
  return 1;
}

// ---------------------------------------------------------------- tree walks

int update_sound_fades() {
  if (quit_walk()) return 0;
  uint32_t now = now_ms();
  return walk_sounds([now](object_node* n, sound_record* r) {
    if (r->state != sound_fading_in && r->state != sound_fading_out) return 0;
    if (r->held) {
      // Paused: the fade stands still.
      r->fade_start_time += now - r->pause_time;
      r->pause_time = now;
      return 0;
    }
    int32_t elapsed = static_cast<int32_t>(now - r->fade_start_time);
    if (r->state == sound_fading_in && elapsed < 0) {
      apply_sound_volume(n, 2);
      return 0;
    }
    int64_t v = static_cast<int64_t>(elapsed) * r->fade_rate / 1024 + r->fade_start_volume;
    bool ended = false;
    // A fade of 0 ms is no fade: the sound starts (or stops) at once instead
    // of sitting muted until the next cycle.
    if (r->fade_time == 0 || (r->fade_rate < 0 && v <= r->fade_target) ||
        (r->fade_rate >= 0 && v >= r->fade_target)) {
      v = r->fade_target;
      r->fade_end_time = now;
      ended = true;
    }
    apply_sound_volume(n, static_cast<int32_t>(v));
    r->volume = static_cast<int32_t>(v);
    if (ended) {
      r->fade_end_time = 0;
      if (r->state == sound_fading_in) {
        r->state = sound_playing;
      } else {
        r->volume = r->fade_target = r->previous_target = 256;
        r->fade_start_volume = 0;
        free_sound_buffers(r);
        r->state = sound_idle;
      }
    }
    return 0;
  });
}

int update_sound_nodes() {
  if (quit_walk()) return 0;
  return walk_sounds([](object_node*, sound_record* r) {
    if (!started(r) || r->held) return 0;
    int rc = advance_played(r, -310, -320);
    if (rc < 0) return rc;
    int64_t end = r->pending_loop_end ? r->pending_loop_end : r->loop_end;
    int64_t restart = r->pending_loop_end ? r->pending_loop_start : r->loop_start;
    if (r->bytes_per_second <= 0 || r->played_bytes * 1000 / r->bytes_per_second < end) return 0;
    r->pending_loop_start = r->pending_loop_end = 0;
    if (r->passes + 1 == r->loop_limit) {
      r->loop_limit = 0;
      r->passes = 0;
      r->played_bytes = 0;
      free_sound_buffers(r);
      r->state = sound_idle;
    } else {
      r->passes += 1;
      r->played_bytes = restart * r->bytes_per_second / 1000;
    }
    return 0;
  });
}

int refill_sound_buffers() {
  if (quit_walk()) return 0;
  return walk_sounds([](object_node*, sound_record* r) {
    if (!started(r) || r->held) return 0;
    if (!r->buffer) return -330;
    uint32_t write = 0;
    if (!r->buffer->get_cursors(nullptr, &write)) return -340;
    uint32_t half = r->buffer_bytes / 2;
    if (r->next_half == 1 && write < half) {
      r->next_half = 2;
      r->refill_offset = static_cast<int32_t>(half);
      return fill_and_write(r);
    }
    if (r->next_half == 2 && write > half) {
      r->next_half = 1;
      r->refill_offset = 0;
      return fill_and_write(r);
    }
    return 0;
  });
}

int pause_sound_node(object_node* n, int pause) {
  if (!n) return 0;
  auto one = [pause](object_node* node) {
    sound_record* r = sound_node_record(node);
    if (!r || sound_node_is_group(node)) return 0;
    if (pause) return sound_pause_one(r);
    return resume_allowed(node) ? sound_resume_one(node, r) : 0;
  };
  int rc = one(n);
  if (rc < 0 || !sound_node_is_group(n)) return rc;
  return walk_nodes(n, one);
}

int pause_all_sounds(int pause) {
  if (!sound_tree_root()) return 0;
  for (object_node* c = sound_node_first_child(sound_tree_root()); c; c = sound_node_next_sibling(c)) {
    int rc = pause_sound_node(c, pause);
    if (rc < 0) return rc;
  }
  return 0;
}

void free_all_sounds() {
  std::lock_guard<engine_mutex> g(engine_lock);
  walk_nodes(sound_tree_root(), [](object_node* n) {
    if (sound_record* r = sound_node_record(n)) free_sound_buffers(r);
    return 0;
  });
}

// ---------------------------------------------------------------- the tree

namespace {
std::vector<object_node*> retired_sound_nodes;

int sound_tree_payload(object_node* node) { return alloc_sound_record(node) ? 0 : -1; }

void destroy_sound_subtree(object_node* n) {
  object_node* c = n->first_child;
  while (c) {
    object_node* next = c->next_sibling;
    destroy_sound_subtree(c);
    c = next;
  }
  sound_record* r = sound_node_record(n);
  if (r) free_sound_buffers(r);
  free_sound_record(r);
  n->kind_record = nullptr;
  free_object_node(n);
}
}  // namespace

void install_sound_tree_hooks() {
  object_tree_hooks[tree_sounds].root = sound_tree_payload;
  object_tree_hooks[tree_sounds].first_node = sound_tree_payload;
}

void retire_sound_node(object_node* node) {
  std::lock_guard<engine_mutex> g(engine_lock);
  if (node) retired_sound_nodes.push_back(node);
}

void destroy_sound_tree() {
  std::lock_guard<engine_mutex> g(engine_lock);
  for (object_node* n : retired_sound_nodes) {
    sound_record* r = sound_node_record(n);
    if (r) free_sound_buffers(r);
    free_sound_record(r);
    free_object_node(n);
  }
  retired_sound_nodes.clear();
  object_node* root = object_trees[tree_sounds].root;
  if (root) {
    object_trees[tree_sounds].root = nullptr;
    object_trees[tree_sounds].current_path.clear();
    destroy_sound_subtree(root);
  }
  // Requests still in the ring name freed nodes: drop them.
  sound_command_queue_record& q = sound_command_queue;
  for (int i = 0; i < sound_queue_size; ++i) q.node[i] = nullptr;
}
