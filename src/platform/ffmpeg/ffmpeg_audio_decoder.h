// The audio conversion service on FFmpeg's libavcodec: any WAV format tag
// FFmpeg knows (MP3, GSM 6.10, IEEE float, TrueSpeech, ADPCM kinds...) to
// 16-bit PCM, more than two channels mixed down to stereo. The real and the
// headless platforms both use it.
#pragma once
#include <memory>

#include "platform/platform.h"

std::unique_ptr<AudioDecoder> make_ffmpeg_audio_decoder();
