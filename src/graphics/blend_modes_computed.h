// The computed blend-mode spans of each vector width; blend_modes.cpp picks
// among them. Internal to the blend modes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "graphics/blend_modes.h"

// False where the build or the processor cannot run that width.
bool fill_computed_blend_spans_avx2(blend_mode_spans (&out)[blend_mode_count]);
bool fill_computed_blend_spans_avx512(blend_mode_spans (&out)[blend_mode_count]);
bool computed_blend_quotients_avx2(const uint16_t* n, const uint16_t* q, uint16_t* out, size_t count);
bool computed_blend_quotients_avx512(const uint16_t* n, const uint16_t* q, uint16_t* out, size_t count);
