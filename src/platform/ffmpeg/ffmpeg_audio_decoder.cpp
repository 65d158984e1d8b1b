#include "platform/ffmpeg/ffmpeg_audio_decoder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace {

// A hostile stream can claim hours of sound in a few bytes: a WAV the player
// takes is at most 256 MiB of 16-bit PCM once decoded (25 minutes of CD
// stereo), and at most 256 times its coded size (more than any codec's ratio
// at its lowest bit rate), so a claim past that fails instead of exhausting
// memory.
constexpr size_t max_output_bytes = size_t{256} << 20;
constexpr size_t max_expansion = 256;
constexpr size_t min_output_limit = size_t{1} << 20;

// The codec of a format tag, by FFmpeg's own RIFF tag table. Plain and
// floating-point PCM depend on the sample size as well.
AVCodecID codec_for(uint16_t tag, uint16_t bits) {
  if (tag == 0x0001) {
    switch (bits) {
      case 8: return AV_CODEC_ID_PCM_U8;
      case 16: return AV_CODEC_ID_PCM_S16LE;
      case 24: return AV_CODEC_ID_PCM_S24LE;
      case 32: return AV_CODEC_ID_PCM_S32LE;
      default: return AV_CODEC_ID_NONE;
    }
  }
  if (tag == 0x0003) return bits == 64 ? AV_CODEC_ID_PCM_F64LE : bits == 32 ? AV_CODEC_ID_PCM_F32LE : AV_CODEC_ID_NONE;
  const AVCodecTag* const tables[] = {avformat_get_riff_audio_tags(), nullptr};
  return av_codec_get_id(tables, tag);
}

struct decode_session {
  size_t output_limit = max_output_bytes;
  AVCodecContext* context = nullptr;
  AVCodecParserContext* parser = nullptr;
  SwrContext* resampler = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  int out_channels = 0;
  int out_rate = 0;
  bool broken = false;
  decoded_pcm* out = nullptr;

  ~decode_session() {
    av_channel_layout_uninit(&in_layout);
    swr_free(&resampler);
    av_frame_free(&frame);
    av_packet_free(&packet);
    if (parser) av_parser_close(parser);
    avcodec_free_context(&context);
  }

  // The input the resampler was made for; a frame in another layout, sample
  // format or rate gets a new resampler (the old one's tail is kept).
  AVChannelLayout in_layout{};
  int in_format = -1;
  int in_rate = 0;

  bool make_resampler() {
    if (resampler) {
      if (!append(nullptr, 0)) return false;
      swr_free(&resampler);
    }
    av_channel_layout_uninit(&in_layout);
    if (av_channel_layout_copy(&in_layout, &frame->ch_layout) < 0) return false;
    in_format = frame->format;
    in_rate = frame->sample_rate > 0 ? frame->sample_rate : context->sample_rate;
    if (in_rate < 1 || in_layout.nb_channels < 1) return false;
    if (!out_channels) {
      out_channels = std::min(in_layout.nb_channels, 2);
      out_rate = in_rate;
      out->channels = static_cast<uint16_t>(out_channels);
      out->rate = static_cast<uint32_t>(out_rate);
    }
    AVChannelLayout out_layout;
    av_channel_layout_default(&out_layout, out_channels);
    return swr_alloc_set_opts2(&resampler, &out_layout, AV_SAMPLE_FMT_S16, out_rate, &in_layout,
                               static_cast<AVSampleFormat>(in_format), in_rate, 0, nullptr) >= 0 &&
           swr_init(resampler) >= 0;
  }

  bool convert_frame() {
    if (frame->nb_samples <= 0) return true;
    const int rate = frame->sample_rate > 0 ? frame->sample_rate : context->sample_rate;
    if (!resampler || frame->format != in_format || rate != in_rate ||
        av_channel_layout_compare(&frame->ch_layout, &in_layout) != 0) {
      if (!make_resampler()) return false;
    }
    return append(frame->extended_data, frame->nb_samples);
  }

  // Converts `count` input frames (none: flush) and appends the result.
  bool append(uint8_t** input, int count) {
    const int room = swr_get_out_samples(resampler, count);
    if (room < 0) return false;
    if (room == 0) return true;
    const size_t frame_bytes = size_t(out_channels) * 2;
    const size_t at = out->samples.size();
    if (at + size_t(room) * frame_bytes > output_limit) return false;
    out->samples.resize(at + size_t(room) * frame_bytes);
    uint8_t* dst = out->samples.data() + at;
    const int made = swr_convert(resampler, &dst, room, const_cast<const uint8_t**>(input), count);
    if (made < 0) {
      out->samples.resize(at);
      return false;
    }
    out->samples.resize(at + size_t(made) * frame_bytes);
    return true;
  }

  // Sends one packet (null: the end) and takes every frame it gives.
  bool send(const AVPacket* p) {
    int rc = avcodec_send_packet(context, p);
    if (rc < 0 && rc != AVERROR_EOF) {
      // A damaged block is skipped, as a decoder that resynchronises would.
      broken = true;
      return true;
    }
    for (;;) {
      rc = avcodec_receive_frame(context, frame);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
      if (rc < 0) {
        broken = true;
        return true;
      }
      const bool ok = convert_frame();
      av_frame_unref(frame);
      if (!ok) return false;
    }
  }
};

class FfmpegAudioDecoder final : public AudioDecoder {
 public:
  int decode_wave(const wave_stream_format& format, const uint8_t* data, size_t size, decoded_pcm& out) override {
    out = decoded_pcm{};
    uint16_t tag = format.format_tag;
    size_t extra_skip = 0;
    if (tag == 0xFFFE) {
      // The sub-format GUID starts with the format tag it stands for.
      if (format.extra.size() < 22) return audio_decode_no_decoder;
      tag = static_cast<uint16_t>(format.extra[6] | (format.extra[7] << 8));
      extra_skip = 22;
    }
    if (format.channels == 0 || format.rate == 0) return audio_decode_no_decoder;
    const AVCodecID id = codec_for(tag, format.bits);
    const AVCodec* codec = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(id);
    if (!codec) return audio_decode_no_decoder;

    decode_session s;
    s.output_limit = std::min(max_output_bytes, std::max(min_output_limit, size * max_expansion));
    s.out = &out;
    s.context = avcodec_alloc_context3(codec);
    s.packet = av_packet_alloc();
    s.frame = av_frame_alloc();
    if (!s.context || !s.packet || !s.frame) return audio_decode_broken;
    av_channel_layout_default(&s.context->ch_layout, format.channels);
    s.context->sample_rate = static_cast<int>(std::min<uint32_t>(format.rate, INT32_MAX));
    s.context->block_align = format.block_align;
    s.context->bit_rate = int64_t{format.bytes_per_second} * 8;
    s.context->bits_per_coded_sample = format.bits;
    if (format.extra.size() > extra_skip) {
      const size_t n = format.extra.size() - extra_skip;
      s.context->extradata = static_cast<uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
      if (!s.context->extradata) return audio_decode_broken;
      std::memcpy(s.context->extradata, format.extra.data() + extra_skip, n);
      s.context->extradata_size = static_cast<int>(n);
    }
    if (avcodec_open2(s.context, codec, nullptr) < 0) return audio_decode_no_decoder;

    // Streams with a parser (MP3 and the like) are cut by it; block formats
    // by their block size; anything else goes in whole.
    s.parser = av_parser_init(id);
    size_t piece = format.block_align > 0 ? format.block_align : size;
    if (piece < 4096 && format.block_align > 0 && codec->type == AVMEDIA_TYPE_AUDIO &&
        (id == AV_CODEC_ID_PCM_U8 || id == AV_CODEC_ID_PCM_S16LE || id == AV_CODEC_ID_PCM_S24LE ||
         id == AV_CODEC_ID_PCM_S32LE || id == AV_CODEC_ID_PCM_F32LE || id == AV_CODEC_ID_PCM_F64LE))
      piece = (4096 / piece + 1) * piece;  // PCM: many frames per packet
    std::vector<uint8_t> padded;
    size_t pos = 0;
    while (pos < size) {
      if (s.parser) {
        uint8_t* cut = nullptr;
        int cut_size = 0;
        const int chunk = static_cast<int>(std::min<size_t>(size - pos, 1 << 20));
        const int used = av_parser_parse2(s.parser, s.context, &cut, &cut_size, data + pos, chunk, AV_NOPTS_VALUE,
                                          AV_NOPTS_VALUE, 0);
        if (used < 0) return audio_decode_broken;
        pos += size_t(used);
        if (cut_size > 0) {
          s.packet->data = cut;
          s.packet->size = cut_size;
          if (!s.send(s.packet)) return audio_decode_broken;
        } else if (used == 0) {
          break;
        }
        continue;
      }
      const size_t n = std::min(piece, size - pos);
      padded.assign(data + pos, data + pos + n);
      padded.resize(n + AV_INPUT_BUFFER_PADDING_SIZE, 0);
      s.packet->data = padded.data();
      s.packet->size = static_cast<int>(n);
      pos += n;
      if (!s.send(s.packet)) return audio_decode_broken;
    }
    if (s.parser) {
      // What the parser still holds.
      uint8_t* cut = nullptr;
      int cut_size = 0;
      av_parser_parse2(s.parser, s.context, &cut, &cut_size, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      if (cut_size > 0) {
        s.packet->data = cut;
        s.packet->size = cut_size;
        if (!s.send(s.packet)) return audio_decode_broken;
      }
    }
    if (!s.send(nullptr)) return audio_decode_broken;
    if (s.resampler && !s.append(nullptr, 0)) return audio_decode_broken;
    if (out.channels == 0) {
      // Nothing decoded: damaged data, or an empty data chunk.
      if (s.broken) return audio_decode_broken;
      out.channels = static_cast<uint16_t>(std::min<int>(format.channels, 2));
      out.rate = format.rate;
    }
    return audio_decode_ok;
  }
};

}  // namespace

std::unique_ptr<AudioDecoder> make_ffmpeg_audio_decoder() {
  av_log_set_level(AV_LOG_QUIET);
  return std::make_unique<FfmpegAudioDecoder>();
}
