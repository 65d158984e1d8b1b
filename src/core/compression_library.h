// The compression library RIRud.so, loaded by name at start-up, and safe ways
// to call it: an entry point that was not found fails instead of being called.
#pragma once
#include <cstdint>

#include "save/compression_library.h"

// The file name the platform's loader is asked for (searched beside the program).
constexpr const char* compression_library_name = "RIRud.so";

// Loads the library and looks up its four entry points. A missing library shows
// "RIRud.dll エラーです。..." with the loader's error number and text and
// returns -1; each missing entry point shows "<name> が見つかりません。" and
// start-up goes on (returns 0).
int load_compression_library();
void unload_compression_library();

// Callers go through these: a missing entry point reads as failure (a bound of
// 0, a nonzero result) instead of a call through null.
uint32_t rirud_bound(uint32_t length);
int rirud_pack(const void* source, uint32_t length, void* destination, uint32_t* destination_length);
int rirud_unpack(const void* source, uint32_t length, void* destination, uint32_t* destination_length);
