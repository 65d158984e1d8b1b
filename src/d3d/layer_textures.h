// Layer pictures as grids of GPU textures, and the GPU drawing of a layer
// tree: each tile a quad, blended by the layer's blend mode through a texture
// stage set-up, or through an effect pass when a rule or second layer joins.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "d3d/d3d_device.h"
#include "graphics/layer_record.h"

constexpr int tile_grid_limit = 31;     // columns and rows
constexpr int engine_tile_width = 512;  // the largest tile
constexpr int engine_tile_height = 256;

// The texture part of a layer record.
struct layer_texture_set {
  int columns = 0, rows = 0;
  std::vector<int> column_width, row_height;
  std::vector<uint32_t> tiles;  // row * columns + column; 0 = none
  bool has_textures = false;
  // What paste_sprite_texture was last given, for re-uploads after a rebuild.
  bool arguments_set = false;
  int64_t texture_number = 0;
  int size_limit = engine_tile_width;
  int height_limit = -1;  // below 0: size_limit for the rows too
  int level = 256;
  int width = 0, height = 0;
  float half_width = 0, half_height = 0;
};

// Tile sizes of a picture. 0; 1 at a 32nd column ("TXNUM"); 2 at a 32nd row
// ("TYNUM"), with `rest` the height not yet covered.
struct tile_grid {
  std::vector<int> widths, heights;
  int rest = 0;
};
// `caller_height_limit` below 0 takes `caller_limit` for the rows too.
int compute_tile_grid(int width, int height, int device_max_width, int device_max_height, int caller_limit,
                      tile_grid& out, int caller_height_limit = -1);

// Records the picture's size and the upload arguments (for re-uploads after a
// rebuild); makes the record's texture part when it has none.
void set_upload_arguments(cg_record* record, int64_t texture_number, int size_limit, int level,
                          int height_limit = -1);
// Records the picture's size and the upload arguments, then uploads afresh.
// 0, or -1 after "KX_PASTESPRITE Error." in the info log.
int paste_sprite_texture(cg_record* record, int64_t texture_number, int size_limit, int level,
                         int height_limit = -1);
// 0 or -1. reuse 0 makes the textures anew; otherwise the existing ones are
// filled again.
int upload_layer_textures(cg_record* record, int reuse);
// Releases the record's tiles (the upload arguments stay).
void release_layer_textures(cg_record* record);
// Frees the whole texture part (the record dies).
void free_layer_texture_set(cg_record* record);
// Children before the layer that holds them. Mode 1 releases every layer's
// tiles; mode 2 uploads again every layer that had textures, stopping at the
// first failure with "[ID:%s] 読み込みエラー..". 0, or -1 after a failure.
int walk_tree_textures(object_node* node, int mode);

// Draws the visible textured layers under `node`. 0, or -1 when a rule or
// second-layer path cannot be resolved (the walk ends there).
int draw_layer_tree_gpu(object_node* node);
// One layer's tiles. 0, or -1 when a texture cannot be set.
int draw_layer_effect(cg_record* record, cg_record* rule, cg_record* second);

// Moves a quad's four vertices.
void translate_quad(sprite_vertex v[4], float dx, float dy, float dz);
void fill_frame_vertex(sprite_vertex& v, float x, float y, float z, uint32_t colour, float u, float v_coord);
// The quad of the tile whose top-left texel is (offset_x, offset_y) of the
// picture, tile_w x tile_h texels, as the layer's position, scale, rotation
// centre and angles place it (corners in strip order: top-left, top-right,
// bottom-left, bottom-right).
void layer_tile_quad(const cg_record& record, int offset_x, int offset_y, int tile_w, int tile_h, uint32_t colour,
                     sprite_vertex out[4]);
// A layer's opacity (0..256) as a colour byte: (alpha * 255 + 128) >> 8.
uint32_t opacity_byte(int alpha);
// The diffuse colour of a layer: its opacity byte (0 when hidden) in all four
// bytes for the modes drawn with it, opaque black for the others.
uint32_t layer_diffuse_colour(const cg_record& record);
// Sets the blend and stage states of a blend mode into `state`; false (state
// untouched) for modes without their own states.
bool apply_blend_mode_states(int mode, int alpha, gpu_draw_state& state);
