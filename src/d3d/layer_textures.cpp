#include "d3d/layer_textures.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "core/info_log.h"
#include "core/object_tree.h"
#include "core/sjis.h"

namespace {

constexpr int tile_sizes[] = {16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192};

int smallest_tile_at_least(int rest) {
  for (int s : tile_sizes)
    if (s >= rest) return s;
  return 8192;
}

int lowered(int size, int limit) { return limit > 0 && limit < size ? limit : size; }

// Upload staging, kept for the run: grows to the largest tile.
std::vector<uint8_t> staging;

constexpr float degrees_to_radians = 0.01745329238474369f;

// 16.16 fixed-point fraction of a coordinate.
float sub_pixel_fraction(double v) {
  const int64_t fixed = static_cast<int64_t>(std::floor(v * 65536.0));
  return float(fixed & 0xFFFF) / 65536.f;
}

void rotate_yaw_pitch_roll(float& x, float& y, float& z, float yaw, float pitch, float roll) {
  // Row vector times Rz(roll) Rx(pitch) Ry(yaw).
  const float cr = std::cos(roll), sr = std::sin(roll);
  float x1 = x * cr - y * sr, y1 = x * sr + y * cr, z1 = z;
  const float cp = std::cos(pitch), sp = std::sin(pitch);
  float y2 = y1 * cp - z1 * sp, z2 = y1 * sp + z1 * cp, x2 = x1;
  const float cy = std::cos(yaw), sy = std::sin(yaw);
  x = x2 * cy + z2 * sy;
  y = y2;
  z = -x2 * sy + z2 * cy;
}

}  // namespace

int compute_tile_grid(int width, int height, int device_max_width, int device_max_height, int caller_limit,
                      tile_grid& out, int caller_height_limit) {
  if (caller_height_limit < 0) caller_height_limit = caller_limit;
  out = tile_grid{};
  for (int rest = width; rest > 0;) {
    if (int(out.widths.size()) == tile_grid_limit) {
      out.rest = rest;
      return 1;
    }
    int w = width < engine_tile_width ? engine_tile_width : smallest_tile_at_least(rest);
    w = lowered(lowered(lowered(w, device_max_width), engine_tile_width), caller_limit);
    out.widths.push_back(w);
    rest -= w;
  }
  for (int rest = height; rest > 0;) {
    if (int(out.heights.size()) == tile_grid_limit) {
      out.rest = rest;
      return 2;
    }
    int h = smallest_tile_at_least(rest);
    h = lowered(lowered(lowered(h, device_max_height), engine_tile_height), caller_height_limit);
    out.heights.push_back(h);
    rest -= h;
  }
  return 0;
}

void release_layer_textures(cg_record* record) {
  if (!record || !record->gpu_textures) return;
  layer_texture_set& set = *record->gpu_textures;
  GpuDevice* device = d3d_renderer_state.device.get();
  for (uint32_t& t : set.tiles) {
    if (t && device) device->release_texture(t);
    t = 0;
  }
  set.tiles.clear();
  set.has_textures = false;
  record->texture_tile_count = 0;
}

void free_layer_texture_set(cg_record* record) {
  if (!record || !record->gpu_textures) return;
  release_layer_textures(record);
  delete record->gpu_textures;
  record->gpu_textures = nullptr;
}

int upload_layer_textures(cg_record* record, int reuse) {
  GpuDevice* device = d3d_renderer_state.device.get();
  if (!record || !device || !record->gpu_textures) return -1;
  layer_texture_set& set = *record->gpu_textures;
  if (!record->pixels || record->width <= 0 || record->height <= 0) return -1;
  tile_grid grid;
  const int fault = compute_tile_grid(record->width, record->height, d3d_renderer_state.max_texture_width,
                                      d3d_renderer_state.max_texture_height, set.size_limit, grid, set.height_limit);
  if (fault == 1) {
    d3d_box("", "TXNUM Overflow Error.");
    return -1;
  }
  if (fault == 2) {
    show_message_box("", "TYNUM Overflow Error. SX = %d, SY = %d, mRest = %d", record->width, record->height,
                     grid.rest);
    return -1;
  }
  const int columns = int(grid.widths.size()), rows = int(grid.heights.size());
  if (reuse && (columns != set.columns || rows != set.rows || grid.widths != set.column_width ||
                grid.heights != set.row_height || int(set.tiles.size()) != columns * rows))
    reuse = 0;  // the picture's size changed: the old tiles do not fit
  if (!reuse) {
    release_layer_textures(record);
    set.columns = columns;
    set.rows = rows;
    set.column_width = grid.widths;
    set.row_height = grid.heights;
    set.tiles.assign(size_t(columns) * size_t(rows), 0);
  }
  const int tile_w = *std::max_element(grid.widths.begin(), grid.widths.end());
  const int tile_h = *std::max_element(grid.heights.begin(), grid.heights.end());
  try {
    staging.resize(std::max(staging.size(), size_t(tile_w) * size_t(tile_h) * 4));
  } catch (const std::bad_alloc&) {
    // Without the work buffer no tile can be filled: the upload fails.
    d3d_log("SYSTEMMEM 確保に失敗.");
    return -1;
  }
  const gpu_texture_format format = d3d_texture_format();
  const bool dither = d3d_dither();
  const size_t picture_stride = size_t(record->width) * 4;
  int y0 = 0;
  for (int r = 0; r < rows; ++r) {
    const int th = set.row_height[size_t(r)];
    int x0 = 0;
    for (int c = 0; c < columns; ++c) {
      const int tw = set.column_width[size_t(c)];
      const int copy_w = std::max(0, std::min(tw, record->width - x0));
      const int copy_h = std::max(0, std::min(th, record->height - y0));
      const size_t stride = size_t(tw) * 4;
      for (int y = 0; y < th; ++y) {
        uint8_t* d = &staging[size_t(y) * stride];
        if (y < copy_h) {
          std::memcpy(d, record->pixels + size_t(y0 + y) * picture_stride + size_t(x0) * 4, size_t(copy_w) * 4);
          std::memset(d + size_t(copy_w) * 4, 0, size_t(tw - copy_w) * 4);
        } else {
          std::memset(d, 0, stride);
        }
      }
      uint32_t& tile = set.tiles[size_t(r) * size_t(columns) + size_t(c)];
      if (!tile) {
        tile = device->create_texture(tw, th, format);
        if (!tile) {
          d3d_box("",
                  "テクスチャを生成できませんでした。\r\nVRAM容量不足の可能性があります。\r\n\r\n※解決方法\r\n"
                  "一度ゲームを終了してから[エンジン設定.exe]を起動して頂き、ゲーム画面の描画方法の項目を【 "
                  "CPU(バイリニア) 】にセットして\r\n起動し直していただければ動作いたします。");
          d3d_log("[DX]テクスチャを生成できませんでした。");
          return -1;
        }
      }
      if (!device->upload_texture(tile, 0, 0, tw, th, staging.data(), stride, dither)) {
        d3d_log(format == gpu_texture_format::bgra8888 ? "サーフェイス転送できませんでした。" : "サーフェス転送失敗。");
        return -1;
      }
      x0 += tw;
    }
    y0 += th;
  }
  set.has_textures = true;
  record->texture_tile_count = columns * rows;
  return 0;
}

void set_upload_arguments(cg_record* record, int64_t texture_number, int size_limit, int level, int height_limit) {
  if (!record->gpu_textures) record->gpu_textures = new layer_texture_set;
  layer_texture_set& set = *record->gpu_textures;
  set.width = record->width;
  set.height = record->height;
  set.half_width = float(record->width) / 2.f;
  set.half_height = float(record->height) / 2.f;
  set.texture_number = texture_number;
  set.size_limit = size_limit;
  set.height_limit = height_limit;
  set.level = level;
  set.arguments_set = true;
}

int paste_sprite_texture(cg_record* record, int64_t texture_number, int size_limit, int level, int height_limit) {
  if (!record) return -1;
  set_upload_arguments(record, texture_number, size_limit, level, height_limit);
  if (upload_layer_textures(record, 0) != 0) {
    d3d_log("KX_PASTESPRITE Error.");
    return -1;
  }
  return 0;
}

int walk_tree_textures(object_node* node, int mode) {
  if (!node) return 0;
  for (object_node* child = node->first_child; child; child = child->next_sibling) {
    if (child->first_child && walk_tree_textures(child, mode) != 0) return -1;
    cg_record* r = layer_record(child);
    if (!r || !r->gpu_textures) continue;
    if (mode == 1) {
      release_layer_textures(r);
    } else if (mode == 2 && r->gpu_textures->arguments_set) {
      const layer_texture_set& s = *r->gpu_textures;
      if (paste_sprite_texture(r, s.texture_number, s.size_limit, s.level, s.height_limit) != 0) {
        write_info_log("", utf8_to_sjis("[ID:%s] 読み込みエラー.."), child->name);
        return -1;
      }
    }
  }
  return 0;
}

void translate_quad(sprite_vertex v[4], float dx, float dy, float dz) {
  for (int i = 0; i < 4; ++i) {
    v[i].x += dx;
    v[i].y += dy;
    v[i].z += dz;
  }
}

void fill_frame_vertex(sprite_vertex& v, float x, float y, float z, uint32_t colour, float u, float v_coord) {
  v = sprite_vertex{};
  v.x = x;
  v.y = y;
  v.z = z;
  v.rhw = 1.f;
  v.diffuse = colour;
  v.uv[0][0] = u;
  v.uv[0][1] = v_coord;
}

void layer_tile_quad(const cg_record& r, int offset_x, int offset_y, int tile_w, int tile_h, uint32_t colour,
                     sprite_vertex out[4]) {
  const double pos_x = double(r.gpu_value1) / 100.0, pos_y = double(r.gpu_value2) / 100.0;
  const double sx = double(r.scale_x) / 10000.0, sy = double(r.scale_y) / 10000.0;
  const double left = pos_x + offset_x * sx, top = pos_y + offset_y * sy;
  const double right = left + tile_w * sx, bottom = top + tile_h * sy;
  const double xs[4] = {left, right, left, right}, ys[4] = {top, top, bottom, bottom};
  const float us[4] = {0, 1, 0, 1}, vs[4] = {0, 0, 1, 1};
  for (int i = 0; i < 4; ++i) {
    // A quarter of the corner's sub-pixel fraction, in texels.
    const float u = us[i] + sub_pixel_fraction(xs[i]) / 4.f / float(tile_w);
    const float v = vs[i] + sub_pixel_fraction(ys[i]) / 4.f / float(tile_h);
    fill_frame_vertex(out[i], float(xs[i] - 0.5), float(ys[i] - 0.5), 0.f, colour, u, v);
  }
  const float yaw = r.angle[0] / 100.f * degrees_to_radians;
  const float pitch = r.angle[1] / 100.f * degrees_to_radians;
  const float roll = r.angle[2] / 100.f * degrees_to_radians;
  if (yaw == 0 && pitch == 0 && roll == 0) return;
  // About the rotation centre, given from the layer's position.
  const float cx = float(pos_x + double(r.gpu_value3) / 100.0 - 0.5);
  const float cy = float(pos_y + double(r.gpu_value4) / 100.0 - 0.5);
  translate_quad(out, -cx, -cy, 0.f);
  for (int i = 0; i < 4; ++i) rotate_yaw_pitch_roll(out[i].x, out[i].y, out[i].z, yaw, pitch, roll);
  translate_quad(out, cx, cy, 0.f);
  // Pre-transformed quads have no depth here: what a pitch or yaw leaves in z
  // is dropped, so nothing is clipped away.
  for (int i = 0; i < 4; ++i) out[i].z = 0.f;
}

uint32_t layer_diffuse_colour(const cg_record& r) {
  switch (r.blend_mode) {
    case 0: case 1: case 2: case 3: case 5: case 6: case 7: case 9: case 98: case 100: {
      const uint32_t a = r.visible ? opacity_byte(r.alpha) : 0;
      return a | a << 8 | a << 16 | a << 24;
    }
    default: return 0xFF000000u;
  }
}

uint32_t opacity_byte(int alpha) {
  // Opacity 0..256 (256 opaque) onto the colour byte 0..255, so the GPU
  // weighs a layer as the CPU compositor does (200 is 200/256 there).
  return uint32_t((std::clamp(alpha, 0, 256) * 255 + 128) >> 8);
}

bool apply_blend_mode_states(int mode, int alpha, gpu_draw_state& s) {
  const uint32_t a = opacity_byte(alpha);
  auto blend = [&](gpu_blend src, gpu_blend dst, gpu_blend_op op) {
    s.src = src;
    s.dst = dst;
    s.op = op;
  };
  switch (mode) {
    case 0:
      s.combiner = gpu_combiner::texture_alpha_factor;
      s.texture_factor = a << 24;
      blend(gpu_blend::src_alpha, gpu_blend::inv_src_alpha, gpu_blend_op::add);
      return true;
    case 1:
      s.combiner = gpu_combiner::texture_alpha_diffuse;
      blend(gpu_blend::src_alpha, gpu_blend::one, gpu_blend_op::add);
      return true;
    case 2:
      s.combiner = gpu_combiner::modulate;
      blend(gpu_blend::src_alpha, gpu_blend::one, gpu_blend_op::rev_subtract);
      return true;
    case 3:
      s.combiner = gpu_combiner::modulate_toward_t1;
      s.texture1 = d3d_renderer_state.white_texture;
      s.texture_factor = 0xFFFFFFFFu;
      blend(gpu_blend::zero, gpu_blend::src_color, gpu_blend_op::add);
      return true;
    case 5:
      s.combiner = gpu_combiner::modulate_toward_t1;
      s.texture1 = d3d_renderer_state.black_texture;
      blend(gpu_blend::inv_dest_color, gpu_blend::one, gpu_blend_op::add);
      return true;
    case 6:
      s.combiner = gpu_combiner::modulate;
      blend(gpu_blend::one, gpu_blend::one, gpu_blend_op::max);
      return true;
    case 7:
      s.combiner = gpu_combiner::modulate_toward_factor;
      s.texture_factor = 0xFFFFFFFFu;
      blend(gpu_blend::one, gpu_blend::one, gpu_blend_op::min);
      return true;
    case 9:
      s.combiner = gpu_combiner::modulate;
      blend(gpu_blend::inv_dest_color, gpu_blend::inv_src_color, gpu_blend_op::add);
      return true;
    default: return false;
  }
}

int draw_layer_effect(cg_record* record, cg_record* rule, cg_record* second) {
  d3d_renderer_state_record& st = d3d_renderer_state;
  if (!st.device) {
    d3d_log("KX_D3DDevice Error.");
    return 0;
  }
  if (!record || !record->gpu_textures || !record->gpu_textures->has_textures) return 0;
  const layer_texture_set& set = *record->gpu_textures;
  const uint32_t colour = layer_diffuse_colour(*record);
  int pass = -1;
  const cg_record* partner = nullptr;
  if (rule && record->vagueness >= 1) {
    pass = 1;
    partner = rule;
  } else if (second) {
    pass = 0;
    partner = second;
  }
  if (pass >= 0 && !st.effect_ready) {
    d3d_log("HLSL g_lpEffect Error.");
    pass = -1;
  }
  const layer_texture_set* other = partner ? partner->gpu_textures : nullptr;
  int y0 = 0;
  for (int r = 0; r < set.rows; ++r) {
    int x0 = 0;
    for (int c = 0; c < set.columns; ++c) {
      const int tw = set.column_width[size_t(c)], th = set.row_height[size_t(r)];
      sprite_vertex quad[4];
      layer_tile_quad(*record, x0, y0, tw, th, colour, quad);
      gpu_draw_state s = st.current;
      s.texture0 = set.tiles[size_t(r) * size_t(set.columns) + size_t(c)];
      s.texture1 = 0;
      s.pass = pass;
      if (pass >= 0) {
        const size_t index = size_t(r) * size_t(set.columns) + size_t(c);
        if (!other || !other->has_textures || other->columns != set.columns || other->rows != set.rows ||
            index >= other->tiles.size()) {
          d3d_log("SetTexture Error.");
          return -1;
        }
        s.texture1 = other->tiles[index];
      }
      apply_blend_mode_states(record->blend_mode, record->alpha, s);
      if (pass >= 0) {
        s.texture1 = other->tiles[size_t(r) * size_t(set.columns) + size_t(c)];
        s.alpha_val = float(record->alpha) / 256.f;
        if (pass == 1) {
          const float softness = float(record->vagueness);
          s.fade_val = float(record->rule_progress) * (256.f / softness + 128.f) / 65536.f;
          s.fade_val2 = softness;
        } else {
          s.fade_val = float(record->gpu_level) / 256.f;
        }
      }
      s.mag_filter = st.mag_filter == 0 ? gpu_filter::point : gpu_filter::linear;
      s.min_filter = st.min_filter == 0 ? gpu_filter::point : gpu_filter::linear;
      if (!st.device->draw_quad(quad, s)) d3d_log("DrawPrimitiveUP E2.");
      // Blend and stage states carry over to the next layer.
      st.current = s;
      x0 += tw;
    }
    y0 += set.row_height[size_t(r)];
  }
  return 0;
}

int draw_layer_tree_gpu(object_node* node) {
  const cg_record* own = layer_record(node);
  if (!own || !own->pixels) return 0;
  for (object_node* child = node->first_child; child; child = child->next_sibling) {
    if (child->first_child && draw_layer_tree_gpu(child) != 0) return -1;
    cg_record* r = layer_record(child);
    if (!r || !r->gpu_textures || !r->gpu_textures->has_textures || !r->visible || r->alpha <= 0) continue;
    cg_record* partners[2] = {nullptr, nullptr};
    const std::string* paths[2] = {&r->mask_path, &r->second_source_path};
    for (int i = 0; i < 2; ++i) {
      if (paths[i]->empty()) continue;
      std::string resolved;
      const int kind = resolve_object_path(resolved, *paths[i], object_current_path(tree_layers), 1);
      if (kind < 0) return -1;
      object_node* root = object_trees[tree_layers].root;
      if (!root || resolved.empty()) continue;
      partners[i] = layer_record(find_object_by_path(root, resolved, kind == 1 ? find_group : find_leaf));
    }
    draw_layer_effect(r, partners[0], partners[1]);
  }
  return 0;
}
