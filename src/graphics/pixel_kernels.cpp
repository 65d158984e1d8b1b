// Processor probing, kernel level choice and the slot record.
#include "graphics/pixel_kernels.h"

#include <cstdlib>

#include "graphics/pixel_kernels_sets.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define ZARVIK_X86 1
#endif

namespace {

#define ZARVIK_PORTABLE_SLOTS                                                                       \
  {                                                                                                \
    &kernels_portable::fill_zero, &kernels_portable::fill_byte, &kernels_portable::fill_pixel,     \
        &kernels_portable::copy, &kernels_portable::crossfade, &kernels_portable::alpha_blend,     \
        &kernels_portable::alpha_blend_opacity, &kernels_portable::rule_blend,                     \
        &kernels_portable::mix_two, &kernels_portable::add_sat, &kernels_portable::add_opacity,    \
        &kernels_portable::add_alpha, &kernels_portable::add_alpha_opacity,                        \
        &kernels_portable::sub_sat, &kernels_portable::multiply, &kernels_portable::screen,        \
        &kernels_portable::screen_opacity, &kernels_portable::lighten, &kernels_portable::darken,  \
        &kernels_portable::linear_burn, &kernels_portable::linear_light,                           \
        &kernels_portable::half_scale, &kernels_portable::alpha_over,                              \
        &kernels_portable::alpha_over_opacity, &kernels_portable::alpha_over_fade,                 \
        &kernels_portable::alpha_over_weighted                                                     \
  }

}  // namespace

const kernel_slots kernel_set_portable = ZARVIK_PORTABLE_SLOTS;

// Constant-initialised with the portable set: every slot (and alloc_zeroed)
// works before init_pixel_kernels and during static initialisation.
constinit pixel_kernels_record pixel_kernels = {ZARVIK_PORTABLE_SLOTS, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, {}};

namespace {

struct simd_sets {
  bool sse2_built = false, avx2_built = false;
  kernel_slots sse2{}, avx2{};
};

const simd_sets& built_simd_sets() {
  static const simd_sets sets = [] {
    simd_sets s;
    s.sse2_built = fill_kernel_set_sse2(s.sse2);
    s.avx2_built = fill_kernel_set_avx2(s.avx2);
    return s;
  }();
  return sets;
}

bool avx2_usable() {
#if defined(ZARVIK_X86)
  // The built-in checks the operating system's register saving as well.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

}  // namespace

const kernel_slots* kernel_set_sse2() {
  const simd_sets& s = built_simd_sets();
  return s.sse2_built ? &s.sse2 : nullptr;
}

const kernel_slots* kernel_set_avx2() {
  const simd_sets& s = built_simd_sets();
  return s.avx2_built && avx2_usable() ? &s.avx2 : nullptr;
}

cpuid_answers read_cpuid() {
  cpuid_answers cpu;
#if defined(ZARVIK_X86)
  unsigned a = 0, b = 0, c = 0, d = 0;
  // __get_cpuid_max performs the EFLAGS ID-bit test where CPUID may be absent.
  unsigned max_std = __get_cpuid_max(0, nullptr);
  if (max_std == 0) return cpu;
  cpu.has_cpuid = true;
  cpu.max_standard_leaf = max_std;
  if (__get_cpuid(1, &a, &b, &c, &d)) {
    cpu.leaf1_ecx = c;
    cpu.leaf1_edx = d;
  }
  cpu.max_extended_leaf = __get_cpuid_max(0x80000000u, nullptr);
  if (cpu.max_extended_leaf > 0x80000000u && __get_cpuid(0x80000001u, &a, &b, &c, &d)) {
    cpu.ext1_ecx = c;
    cpu.ext1_edx = d;
  }
  cpu.avx2_usable = avx2_usable();
#endif
  return cpu;
}

void store_cpu_features(const cpuid_answers& cpu) {
  auto bit = [](uint32_t word, int n) { return (word >> n) & 1u; };
  pixel_kernels.mmx = pixel_kernels.amd_3dnow = pixel_kernels.amd_3dnow_ext = 0;
  pixel_kernels.sse = pixel_kernels.sse2 = pixel_kernels.sse3 = pixel_kernels.ssse3 = 0;
  pixel_kernels.sse4_1 = pixel_kernels.sse4_2 = pixel_kernels.sse4a = pixel_kernels.xop = 0;
  pixel_kernels.avx2 = 0;
  if (!cpu.has_cpuid) return;
  if (cpu.max_standard_leaf > 0) {
    pixel_kernels.mmx = bit(cpu.leaf1_edx, 23);
    pixel_kernels.sse = bit(cpu.leaf1_edx, 25);
    pixel_kernels.sse2 = bit(cpu.leaf1_edx, 26);
    pixel_kernels.sse3 = bit(cpu.leaf1_ecx, 0);
    pixel_kernels.ssse3 = bit(cpu.leaf1_ecx, 9);
    pixel_kernels.sse4_1 = bit(cpu.leaf1_ecx, 19);
    pixel_kernels.sse4_2 = bit(cpu.leaf1_ecx, 20);
  }
  if (cpu.max_extended_leaf > 0x80000000u) {
    pixel_kernels.amd_3dnow = bit(cpu.ext1_edx, 31);
    pixel_kernels.amd_3dnow_ext = bit(cpu.ext1_edx, 30);
    pixel_kernels.sse4a = bit(cpu.ext1_ecx, 6);
    pixel_kernels.xop = bit(cpu.ext1_ecx, 11);
  }
  pixel_kernels.avx2 = cpu.avx2_usable && pixel_kernels.sse2 ? 1 : 0;
}

void probe_cpu_features() { store_cpu_features(read_cpuid()); }

int choose_kernel_level(bool sse, bool sse2, bool sse_allowed, bool sse2_allowed) {
  int level = 1;
  if (sse && sse_allowed) level = 2;
  if (sse2 && sse2_allowed) level = 3;
  return level;
}

void install_kernel_set(const kernel_slots& set) { static_cast<kernel_slots&>(pixel_kernels) = set; }

void init_pixel_kernels(bool sse_allowed, bool sse2_allowed) {
  probe_cpu_features();
  int level = choose_kernel_level(pixel_kernels.sse != 0, pixel_kernels.sse2 != 0, sse_allowed, sse2_allowed);
  const kernel_slots* set = &kernel_set_portable;
  if (level >= 2) {
    // Levels 2 and 3 share one SIMD set. Its integer routines need SSE2, which
    // every x86-64 processor has; a processor that reports SSE without SSE2
    // keeps the portable set.
    const kernel_slots* simd = pixel_kernels.sse2 ? kernel_set_sse2() : nullptr;
    if (level == 3 && pixel_kernels.avx2) {
      if (const kernel_slots* wide = kernel_set_avx2()) simd = wide;
    }
    if (simd) set = simd;
  }
  pixel_kernels.level = level;
  install_kernel_set(*set);
}

void* alloc_zeroed(size_t n) {
  if (n == 0) n = 1;
  void* block = std::malloc(n);
  if (block) pixel_kernels.kernel_fill_zero(static_cast<uint8_t*>(block), n);
  return block;
}
