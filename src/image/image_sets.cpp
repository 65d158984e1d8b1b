#include "image/image_sets.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/error_report.h"
#include "core/sjis.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "image/cg_picture.h"
#include "image/jpeg_glue.h"
#include "resources/command_table.h"
#include "resources/compiled_loaders.h"
#include "script/argument_binding.h"
#include "script/variable_store.h"

image_set_record image_set;

namespace {

constexpr int load_command_number = 96;
constexpr int release_command_number = 97;
constexpr int query_command_number = 98;

// One decompressor for the whole run, made on first use and reset after every
// picture (and after every error). It lives outside the functions that call
// setjmp, so nothing a jump skips needs destroying.
struct kept_decompressor {
  jpeg_decompress_struct cinfo{};
  jpeg_longjmp_error error{};
  jpeg_memory_source source{};
};
kept_decompressor* kept = nullptr;

kept_decompressor* decompressor() {
  if (kept) return kept;
  auto* k = new (std::nothrow) kept_decompressor;
  if (!k) return nullptr;
  k->cinfo.err = jpeg_longjmp_error_setup(k->error);
  if (setjmp(k->error.jump)) {
    delete k;  // jpeg_create_decompress ran out of memory
    return nullptr;
  }
  jpeg_create_decompress(&k->cinfo);
  kept = k;
  return kept;
}

enum : int { set_ok = 0, set_library_error = -2, set_too_large = -3, set_refused = -4 };

int colour_body(kept_decompressor* k, const uint8_t* data, size_t size, object_node* node, cg_record* record) {
  if (setjmp(k->error.jump)) return set_library_error;
  jpeg_decompress_struct* cinfo = &k->cinfo;
  jpeg_attach_memory_source(cinfo, k->source, data, size);
  jpeg_read_header(cinfo, TRUE);
  if (cinfo->image_width > static_cast<JDIMENSION>(max_decoded_picture_side) ||
      cinfo->image_height > static_cast<JDIMENSION>(max_decoded_picture_side))
    return set_too_large;
  // Colour and grey files alike come out as B, G, R, 255; the library cannot
  // give CMYK files in that form, and the set writer never makes them.
  if (cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK) return set_refused;
  cinfo->out_color_space = JCS_EXT_BGRA;
  jpeg_start_decompress(cinfo);
  if (cinfo->output_components != 4) return set_refused;
  const int32_t width = static_cast<int32_t>(cinfo->output_width);
  const int32_t height = static_cast<int32_t>(cinfo->output_height);
  if (!record->pixels || width != record->width || height != record->height) {
    picture_buffer fresh;
    if (alloc_picture_buffer(fresh, width, height, std::string()) != 0) return set_refused;
    // Rows a broken file never reaches stay transparent, not stale memory.
    std::memset(fresh.pixels, 0, static_cast<size_t>(width) * 4 * static_cast<size_t>(height));
    commit_cg_buffer(record, fresh, node);
  }
  const size_t stride = static_cast<size_t>(width) * 4;
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW rows[1] = {record->pixels + stride * cinfo->output_scanline};
    if (jpeg_read_scanlines(cinfo, rows, 1) != 1) return set_library_error;
  }
  return set_ok;
}

int alpha_body(kept_decompressor* k, const uint8_t* data, size_t size, cg_record* record) {
  if (setjmp(k->error.jump)) return set_library_error;
  jpeg_decompress_struct* cinfo = &k->cinfo;
  jpeg_attach_memory_source(cinfo, k->source, data, size);
  jpeg_read_header(cinfo, TRUE);
  if (cinfo->num_components != 1) return set_ok;  // only a grey file gives alpha
  cinfo->out_color_space = JCS_GRAYSCALE;
  jpeg_start_decompress(cinfo);
  // Only the part that overlaps the picture is used: an alpha file larger
  // than the colour picture must not write past it.
  const JDIMENSION cols = std::min<JDIMENSION>(cinfo->output_width, static_cast<JDIMENSION>(record->width));
  const JDIMENSION rows = std::min<JDIMENSION>(cinfo->output_height, static_cast<JDIMENSION>(record->height));
  JSAMPARRAY line =
      (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE, cinfo->output_width, 1);
  const size_t stride = static_cast<size_t>(record->width) * 4;
  while (cinfo->output_scanline < rows) {
    uint8_t* row = record->pixels + stride * cinfo->output_scanline;
    if (jpeg_read_scanlines(cinfo, line, 1) != 1) return set_library_error;
    const JSAMPLE* a = line[0];
    // Each sample is the alpha byte; the colour bytes stay as decoded, also
    // under alpha 0 (drawing from a set is not a file load, whose clear pixels
    // are rewritten).
    for (JDIMENSION x = 0; x < cols; ++x) row[x * 4 + 3] = a[x];
  }
  return set_ok;
}

int finish_decode(kept_decompressor* k, int status) {
  jpeg_abort_decompress(&k->cinfo);
  if (status == set_too_large) report_error_at_line_fmt(100091, 1, image_set.name);
  return status == set_ok ? 0 : -1;
}

// ---------------------------------------------------------------- arguments

constexpr uint32_t param(int n) { return static_cast<uint32_t>(n - 1); }
bool given(int n) { return parameter_given(param(n)); }
std::string text(int n) {
  const uint32_t pos = argument_position(param(n));
  if (!pos || !argument_slots.string_value[pos]) return std::string();
  return std::string(argument_slots.string_value[pos], argument_slots.string_length[pos]);
}

}  // namespace

int decode_jpeg_to_layer(object_node* node, cg_record* record, const uint8_t* data, size_t size) {
  kept_decompressor* k = decompressor();
  if (!k || !record) return -1;
  return finish_decode(k, colour_body(k, data, size, node, record));
}

int decode_jpeg_alpha(cg_record* record, const uint8_t* data, size_t size) {
  kept_decompressor* k = decompressor();
  if (!k || !record || !record->pixels) return -1;
  return finish_decode(k, alpha_body(k, data, size, record));
}

void free_image_set() {
  image_set.file.clear();
  image_set.file.shrink_to_fit();
  image_set.layout.count = 0;
  image_set.layout.parts.clear();
}

int install_image_set(std::vector<uint8_t> bytes, const std::string& name) {
  image_set_layout layout;
  if (parse_image_set_layout(bytes.data(), bytes.size(), layout) != image_set_ok) {
    report_error_fmt(104010, 1, name);
    return -1;
  }
  for (const image_set_part_span& p : layout.parts) {
    image_set_scramble(bytes.data() + p.offset, static_cast<size_t>(p.colour_size));
    image_set_scramble(bytes.data() + p.offset + p.colour_size, static_cast<size_t>(p.alpha_size));
  }
  image_set.file = std::move(bytes);
  image_set.layout = std::move(layout);
  image_set.name = name;
  return 0;
}

int load_image_set(const std::string& name) {
  free_image_set();
  std::vector<uint8_t> bytes;
  if (load_compiled_file(name, bytes) != 0) return -1;
  return install_image_set(std::move(bytes), name);
}

int draw_image_set_entry(object_node* node, int64_t n) {
  cg_record* record = layer_record(node);
  if (!record || image_set.file.empty() || image_set.layout.count == 0) return 0;
  const int64_t last = static_cast<int64_t>(image_set.layout.count) - 1;
  const image_set_part_span& part = image_set.layout.parts[static_cast<size_t>(std::clamp<int64_t>(n, 0, last))];
  record->alpha_in_use = image_set.layout.mode == 1 ? 1 : 0;
  const uint8_t* base = image_set.file.data() + part.offset;
  int status = decode_jpeg_to_layer(node, record, base, static_cast<size_t>(part.colour_size));
  if (status == 0 && image_set.layout.mode != 0)
    status = decode_jpeg_alpha(record, base + part.colour_size, static_cast<size_t>(part.alpha_size));
  note_layer_pixels_changed(record);
  mark_layer_dirty(node);
  return status;
}

int cmd_image_set_load() {
  if (bind_command_arguments(load_command_number) != 0) return -1;
  object_node* node = nullptr;
  if (given(1)) {
    const std::string path = text(1);
    std::string resolved;
    const int form = resolve_object_path(resolved, path, object_current_path(tree_layers), 0);
    if (form < 0) return -1;
    object_node* root = object_trees[tree_layers].root;
    if (root && !resolved.empty()) node = find_object_by_path(root, resolved, form == 1 ? find_group : find_leaf);
    if (!node) {
      report_error_at_line_fmt(101250, 1, command_name(load_command_number), path);
      return -1;
    }
  }
  if (given(2)) {
    std::string name = text(2);
    lower_path_sjis(name);
    std::replace(name.begin(), name.end(), '/', '\\');
    load_image_set(name);
  }
  if (given(3) && node) draw_image_set_entry(node, parameter_int(param(3)));
  return 0;
}

int cmd_image_set_release() {
  if (bind_command_arguments(release_command_number) != 0) return -1;
  free_image_set();
  return 0;
}

int cmd_image_set_query() {
  if (bind_command_arguments(query_command_number) != 0) return -1;
  const image_set_layout& l = image_set.layout;
  const int64_t answers[4] = {l.count, l.values[0], l.values[1], l.values[2]};
  const uint32_t pos = argument_position(param(1));
  for (int n = 2; n <= 5; ++n) {
    if (!given(n)) continue;
    if (pos && argument_slots.variable_id[pos])
      set_numeric_element(argument_slots.variable_id[pos], argument_slots.element_index[pos], answers[n - 2]);
    break;
  }
  return 0;
}
