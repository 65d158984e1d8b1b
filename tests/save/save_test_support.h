// Shared set-up of the save tests: a headless game folder, a small packer in
// the compression library's slots (stored bytes behind their length and
// CRC-32, so any damage is refused), the script fixture's variables, the
// project's command table, a layer tree whose layers carry a stand-in picture
// record, and instructions for commands 73, 44 and 74.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/object_tree.h"
#include "core/sjis.h"
#include "format/hashes.h"
#include "format/save_container.h"
#include "graphics/blend_modes.h"
#include "graphics/layer_record.h"
#include "graphics/pixel_kernels.h"
#include "graphics/picture_buffer.h"
#include "platform/headless/headless_platform.h"
#include "resources/command_table.h"
#include "core/compression_library.h"
#include "save/save_commands.h"
#include "save/save_data.h"
#include "script/argument_binding.h"
#include "script/script_test_support.h"
#include "support/argument_list.h"
#include "support/object_tree_reset.h"
#include "support/temp_folder.h"

int install_canonical_commands();  // canonical_command_install.cpp

namespace save_test {

using namespace script_test;

// ---------------------------------------------------------------- the test packer

inline uint32_t test_compressed_length(uint32_t n) { return n + 8; }
inline int test_compress(const void* source, uint32_t n, void* destination, uint32_t* dst_len) {
  const uint8_t* src = static_cast<const uint8_t*>(source);
  uint8_t* dst = static_cast<uint8_t*>(destination);
  if (*dst_len < n + 8) return 1;
  put_u32le(dst, n);
  put_u32le(dst + 4, n ? compute_crc32(src, n) : 0);
  if (n) std::memcpy(dst + 8, src, n);
  *dst_len = n + 8;
  return 0;
}
inline int test_uncompress(const void* source, uint32_t n, void* destination, uint32_t* dst_len) {
  const uint8_t* src = static_cast<const uint8_t*>(source);
  uint8_t* dst = static_cast<uint8_t*>(destination);
  if (n < 8) return 1;
  const uint32_t length = get_u32le(src);
  if (length != n - 8 || length != *dst_len) return 2;
  if (length && compute_crc32(src + 8, length) != get_u32le(src + 4)) return 3;
  if (length) std::memcpy(dst, src + 8, length);
  *dst_len = length;
  return 0;
}
inline void install_test_packer() {
  compression_library.compressed_length = test_compressed_length;
  compression_library.compress = test_compress;
  compression_library.uncompress = test_uncompress;
}
// What the test packer makes of a payload.
inline std::vector<uint8_t> test_packed(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> out(payload.size() + 8);
  uint32_t n = static_cast<uint32_t>(out.size());
  test_compress(payload.data(), static_cast<uint32_t>(payload.size()), out.data(), &n);
  return out;
}

// ---------------------------------------------------------------- stand-in layers

// The layer code owns the real picture record; these tests only need its image,
// size and pixel block.
struct fake_picture {
  std::array<uint8_t, layer_record_image_size> image{};
  int32_t width = 1, height = 1;
  uint8_t* block = nullptr;  // width*4*height + width*4 + 4
};

inline fake_picture* picture_of_node(object_node* n) { return n ? static_cast<fake_picture*>(n->kind_record) : nullptr; }

inline int fake_picture_of(object_node* node, uint8_t* image, int32_t* w, int32_t* h, const uint8_t** pixels) {
  fake_picture* p = picture_of_node(node);
  if (!p) return -1;
  std::memcpy(image, p->image.data(), p->image.size());
  *w = p->width;
  *h = p->height;
  *pixels = p->block;
  return 0;
}
inline int fake_install_picture(object_node* node, const std::string&, int32_t w, int32_t h, uint8_t* block) {
  fake_picture* p = picture_of_node(node);
  if (!p) return -1;
  std::free(p->block);
  p->block = block;
  p->width = w;
  p->height = h;
  p->image = {};
  put_u32le(p->image.data() + 136, static_cast<uint32_t>(w));
  put_u32le(p->image.data() + 140, static_cast<uint32_t>(h));
  return 0;
}

// ---------------------------------------------------------------- instructions

struct command_call : argument_list {
  command_call& arg(uint8_t id, const std::string& source) {
    add_bytes(id, 1, compile(source));
    return *this;
  }
  command_call& file(const std::string& name) { return arg(save_param_file, "\"" + name + "\""); }
  command_call& slot(int64_t n) { return arg(save_param_slot, std::to_string(n)); }
  command_call& val(int64_t n) { return arg(save_param_val_id, std::to_string(n)); }
  command_call& var(const std::string& reference) { return arg(save_param_variable, reference); }
  command_call& layer(const std::string& path) { return arg(save_param_layer, "\"" + path + "\""); }
  int run(int (*handler)()) {
    install();
    int r = handler();
    running_instruction = running_instruction_record{};
    return r;
  }
};
inline command_call save_cmd() { return {}; }

class SaveFixture : public ScriptFixture {
 protected:
  void SetUp() override {
    ScriptFixture::SetUp();
    for (int code : {101250, 102100, 102110, 102120, 102140, 102150, 102160, 102170, 104030, 108030, 108040, 108050,
                     108070, 108080, 108090, 108100, 108110, 900000}) {
      error_table.codes.push_back(code);
      error_table.texts.push_back("error " + std::to_string(code));
    }
    platform_ = std::make_unique<HeadlessPlatform>(game.path());
    install_test_packer();
    ASSERT_EQ(install_canonical_commands(), 0);
    if (real_layers) {
      init_pixel_kernels(true, true);
      init_blend_tables();
      init_blend_dispatch_tables();
      layer_tree_main_size = {32, 24};
      install_layer_tree_hooks();
    }
    ASSERT_EQ(create_tree_roots(), 0);
    // Cases may share a process: start from empty slots.
    for (int s = 0; s < memory_slot_table_size; ++s) std::free(memory_save_slots.buffer[s]);
    memory_save_slots = {};
    free_staged_values(-1);
    // The cg_record hooks as the engine has them, kept before the stand-ins replace them.
    static const save_layer_hooks_record engine_hooks = save_layer_hooks;
    save_layer_hooks = engine_hooks;
    if (!real_layers) {
      save_layer_hooks.picture_of = fake_picture_of;
      save_layer_hooks.install_picture = fake_install_picture;
    }
    quit_flag = 0;
  }
  void TearDown() override {
    for (fake_picture* p : pictures_) {
      std::free(p->block);
      delete p;
    }
    // Layer records are freed by the cases that made them; drop every node so
    // the next case (in this process or not) builds the trees again.
    drop_object_trees();
    object_tree_hooks[tree_layers] = {};
    free_staged_values(-1);
    ScriptFixture::TearDown();
  }

  // A layer "W0/<name>" with a w x h picture whose pixel i is `seed` + i.
  object_node* make_layer(const std::string& name, int32_t w, int32_t h, uint32_t seed) {
    object_node* n = create_object_by_path(object_trees[tree_layers].root, "W0/" + name, 0, 0, 0);
    EXPECT_NE(n, nullptr);
    auto* p = new fake_picture;
    pictures_.push_back(p);
    p->width = w;
    p->height = h;
    p->block = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(picture_block_bytes(w, h)), 1));
    for (int64_t i = 0; i < int64_t{w} * h; ++i) put_u32le(p->block + 4 * i, seed + static_cast<uint32_t>(i));
    for (size_t i = 0; i < p->image.size(); ++i) p->image[i] = static_cast<uint8_t>(i * 7);
    put_u32le(p->image.data() + 136, static_cast<uint32_t>(w));
    put_u32le(p->image.data() + 140, static_cast<uint32_t>(h));
    n->kind_record = p;
    return n;
  }
  std::vector<uint8_t> pixels_of(object_node* n) {
    fake_picture* p = picture_of_node(n);
    return std::vector<uint8_t>(p->block, p->block + size_t(p->width) * 4 * p->height);
  }

  // A save file's bytes ("save/<name>").
  std::vector<uint8_t> save_file(const std::string& name) { return game.read("save/" + name); }
  bool save_exists(const std::string& name) { return game.exists("save/" + name); }

  std::vector<int> run_codes(command_call c, int (*handler)(), int expected_result) {
    return reported_codes([&] { EXPECT_EQ(c.run(handler), expected_result); });
  }
  std::vector<std::string> box_texts() {
    std::vector<std::string> out;
    for (const auto& b : platform_->ui.boxes()) out.push_back(b.text);
    return out;
  }

  bool real_layers = false;  // set in a derived constructor: cg_record layers
  temp_folder game;
  std::unique_ptr<HeadlessPlatform> platform_;
  std::vector<fake_picture*> pictures_;
};

}  // namespace save_test
