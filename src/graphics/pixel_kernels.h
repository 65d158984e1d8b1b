// Processor features and the pixel-kernel slots.
//
// Every loop over pixels in the player calls one of the 26 slots of
// `pixel_kernels` (numbered 7 to 32) instead of testing the processor itself.
// Pixels are 32-bit B, G, R, A; lengths are byte counts unless a slot says
// otherwise. Weights are integers 0..256 with 256 meaning full.
//
// Every level computes bit-identical results for every slot (the SIMD sets use
// the portable formulas, rounding included), so pictures never depend on the
// processor. Per-pixel slots work on whole pixels: the last n % 4 bytes of a
// count that is not a multiple of 4 are left untouched.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Slot signatures. Unused arguments ("-" in the slot list) are still passed so
// the blend dispatch tables can call several slots through one type.
using kernel_fill_fn = void (*)(uint8_t* dst, size_t n);
using kernel_fill_byte_fn = void (*)(uint8_t* dst, size_t n, int value);
using kernel_fill_pixel_fn = void (*)(uint8_t* dst, size_t n, uint32_t value);
using kernel_pair_fn = void (*)(uint8_t* dst, const uint8_t* src, size_t n);
using kernel_weighted_fn = void (*)(uint8_t* dst, const uint8_t* src, int w, size_t n);
using kernel_rule_fn = void (*)(uint8_t* dst, const uint8_t* src, const uint8_t* mask, int progress,
                                int vagueness, size_t n);
using kernel_mix_fn = void (*)(uint8_t* dst, const uint8_t* src1, const uint8_t* src2, int w, size_t n);
using kernel_half_scale_fn = void (*)(uint8_t* dst, const uint8_t* src, size_t src_row_pixels,
                                      size_t out_pixels);
using kernel_fade_weight_fn = void (*)(uint8_t* dst, const uint8_t* src, int fade, int w, size_t n);

// The 26 slots, in slot order 7..32. Also the shape of one kernel set.
struct kernel_slots {
  kernel_fill_fn kernel_fill_zero;                    // 7
  kernel_fill_byte_fn kernel_fill_byte;               // 8
  kernel_fill_pixel_fn kernel_fill_pixel;             // 9
  kernel_pair_fn kernel_copy;                         // 10
  kernel_weighted_fn kernel_crossfade;                // 11
  kernel_weighted_fn kernel_alpha_blend;              // 12 (weight unused)
  kernel_weighted_fn kernel_alpha_blend_opacity;      // 13
  kernel_rule_fn kernel_rule_blend;                   // 14
  kernel_mix_fn kernel_mix_two;                       // 15
  kernel_pair_fn kernel_add_sat;                      // 16
  kernel_weighted_fn kernel_add_opacity;              // 17
  kernel_weighted_fn kernel_add_alpha;                // 18 (weight unused)
  kernel_weighted_fn kernel_add_alpha_opacity;        // 19
  kernel_pair_fn kernel_sub_sat;                      // 20
  kernel_pair_fn kernel_multiply;                     // 21
  kernel_pair_fn kernel_screen;                       // 22
  kernel_weighted_fn kernel_screen_opacity;           // 23
  kernel_pair_fn kernel_lighten;                      // 24
  kernel_pair_fn kernel_darken;                       // 25
  kernel_pair_fn kernel_linear_burn;                  // 26
  kernel_pair_fn kernel_linear_light;                 // 27
  kernel_half_scale_fn kernel_half_scale;             // 28
  kernel_pair_fn kernel_alpha_over;                   // 29
  kernel_weighted_fn kernel_alpha_over_opacity;       // 30
  kernel_weighted_fn kernel_alpha_over_fade;          // 31
  kernel_fade_weight_fn kernel_alpha_over_weighted;   // 32
};

constexpr int first_kernel_slot = 7;
constexpr int kernel_slot_count = 26;

// Installed faces of the font subsystem; filled by the font list at start-up.
struct installed_font_list {
  std::vector<std::string> face_names;  // Shift-JIS
  std::vector<uint8_t> non_japanese;    // 1 unless the face's script is Japanese
  std::vector<uint8_t> pitch;           // 1 default/variable, 0 fixed, 255 other
  int32_t count = 0;
  int32_t slot_faces[8] = {};           // 0-based face index per font slot
  int32_t current_slot = 0;             // 0..7
};

// The slots are inherited so callers write pixel_kernels.kernel_copy(...).
struct pixel_kernels_record : kernel_slots {
  // Processor flags, each 0 or 1 in its own 32-bit word.
  uint32_t mmx;
  uint32_t amd_3dnow;
  uint32_t amd_3dnow_ext;
  uint32_t sse;
  uint32_t sse2;
  uint32_t sse3;
  uint32_t ssse3;
  uint32_t sse4_1;
  uint32_t sse4_2;
  uint32_t sse4a;
  uint32_t xop;
  uint32_t avx2;  // usable AVX2 (processor and operating system)
  // 1 portable, 2 and 3 the SIMD set (see init_pixel_kernels).
  int32_t level;
  installed_font_list fonts;
};

// Holds the portable routines from load time, so alloc_zeroed and every slot
// work even before init_pixel_kernels.
extern pixel_kernels_record pixel_kernels;

// The kernel sets. The portable set exists everywhere; the SIMD sets are null
// where the build or the processor cannot run them.
extern const kernel_slots kernel_set_portable;
const kernel_slots* kernel_set_sse2();  // null off x86
const kernel_slots* kernel_set_avx2();  // null off x86 or without usable AVX2

// Raw CPUID answers, separated from the probe so the decoding is testable.
struct cpuid_answers {
  bool has_cpuid = false;
  uint32_t max_standard_leaf = 0;
  uint32_t leaf1_ecx = 0, leaf1_edx = 0;
  uint32_t max_extended_leaf = 0;
  uint32_t ext1_ecx = 0, ext1_edx = 0;
  bool avx2_usable = false;
};

cpuid_answers read_cpuid();                         // this processor
void store_cpu_features(const cpuid_answers& cpu);  // sets the flag words
void probe_cpu_features();                          // read_cpuid + store

// Level from the flags and the settings switches (kxcfg.dat slots 2 and 3).
int choose_kernel_level(bool sse, bool sse2, bool sse_allowed, bool sse2_allowed);

// Start-up: probe, choose the level, fill the slots. Level 1 installs the
// portable set; levels 2 and 3 the SIMD set (AVX2 routines at level 3 when the
// processor and system allow them).
void init_pixel_kernels(bool sse_allowed, bool sse2_allowed);

// Fills the slots from one set (tests and benchmarks switch sets with it).
void install_kernel_set(const kernel_slots& set);

// n zero bytes from the process heap, or null when the heap refuses. Freed
// with free(). n = 0 gives a valid one-byte block.
void* alloc_zeroed(size_t n);
