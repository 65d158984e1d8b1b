#include "core/compression_library.h"

#include <string>

#include "core/error_report.h"
#include "core/sjis.h"
#include "platform/platform.h"

namespace {
void* look_up(DynamicLibrary* libraries, const char* name) {
  void* address = libraries->symbol(compression_library.handle, name);
  if (!address) {
    static const std::string missing = utf8_to_sjis(" が見つかりません。");
    show_message_box("", std::string(name) + missing);
  }
  return address;
}
}  // namespace

int load_compression_library() {
  DynamicLibrary* libraries = platform().libraries;
  int error_number = 0;
  std::string error_text;
  compression_library = {};
  if (libraries) compression_library.handle = libraries->load(compression_library_name, &error_number, &error_text);
  if (!compression_library.handle) {
    static const std::string text = utf8_to_sjis("RIRud.dll エラーです。\r\n\r\nエラー番号 = %d\r\n\r\n%s");
    show_message_box("", text, error_number, error_text);
    return -1;
  }
  // All four are reported alike: a caller must never reach a missing one.
  compression_library.compressed_length =
      reinterpret_cast<decltype(compression_library.compressed_length)>(look_up(libraries, "RIRud_CompressedLength"));
  compression_library.compress =
      reinterpret_cast<decltype(compression_library.compress)>(look_up(libraries, "RIRud_Compress"));
  compression_library.uncompressed_length = look_up(libraries, "RIRud_UncompressedLength");
  compression_library.uncompress =
      reinterpret_cast<decltype(compression_library.uncompress)>(look_up(libraries, "RIRud_Uncompress"));
  return 0;
}

void unload_compression_library() {
  if (compression_library.handle && platform().libraries) platform().libraries->unload(compression_library.handle);
  compression_library = {};
}

uint32_t rirud_bound(uint32_t length) {
  return compression_library.compressed_length ? compression_library.compressed_length(length) : 0;
}

int rirud_pack(const void* source, uint32_t length, void* destination, uint32_t* destination_length) {
  return compression_library.compress ? compression_library.compress(static_cast<const uint8_t*>(source), length,
                                                                   static_cast<uint8_t*>(destination), destination_length)
                                      : -1;
}

int rirud_unpack(const void* source, uint32_t length, void* destination, uint32_t* destination_length) {
  return compression_library.uncompress
             ? compression_library.uncompress(static_cast<const uint8_t*>(source), length,
                                            static_cast<uint8_t*>(destination), destination_length)
             : -1;
}
