#include "d3d/d3d_device.h"

#include <algorithm>

#include "core/error_report.h"
#include "core/info_log.h"
#include "core/object_tree.h"
#include "core/settings.h"
#include "core/sjis.h"
#include "core/system_info.h"
#include "d3d/layer_textures.h"
#include "d3d/scene_drawing.h"
#include "graphics/layer_record.h"
#include "platform/platform.h"

d3d_renderer_state_record d3d_renderer_state;

void d3d_log(const char* utf8) { write_info_log("", "%s", utf8_to_sjis(utf8)); }

void d3d_box(const char* caption_utf8, const char* text_utf8) {
  show_message_box(utf8_to_sjis(caption_utf8), "%s", utf8_to_sjis(text_utf8));
}

gpu_texture_format d3d_texture_format() {
  return engine_settings.texture_bits == 16 ? gpu_texture_format::bgra4444 : gpu_texture_format::bgra8888;
}

bool d3d_dither() { return engine_settings.texture_option != 0; }

int choose_monitor_entry(int index, const d3d_monitor_size table[d3d_monitor_table_size]) {
  // An adapter index past the table (more display devices than entries) is
  // no entry of it.
  if (index >= 0 && index < d3d_monitor_table_size && table[index].width > 0 && table[index].height > 0) return index;
  for (int i = 0; i < d3d_monitor_table_size; ++i)
    if (table[i].width > 0 && table[i].height > 0) return i;
  return 0;
}

namespace {

// The main window's logical picture: the back buffer must hold it.
void main_picture_size(int& width, int& height) {
  const cg_record* root = layer_record(layer_links.windows[0].attached_layer);
  width = root ? root->width : layer_tree_main_size.width;
  height = root ? root->height : layer_tree_main_size.height;
}

// The adapter of the monitor that shows the main window: displays and
// adapters share their numbering, as each display hangs off one device.
int main_window_adapter() {
  Ui* ui = platform_installed() ? platform().ui : nullptr;
  if (!ui) return 0;
  d3d_monitor_size monitors[d3d_monitor_table_size] = {};
  for (int i = 0, n = std::min(ui->display_count(), d3d_monitor_table_size); i < n; ++i) {
    ui_display d;
    if (ui->display_info(i, d)) monitors[i] = {d.bounds.width, d.bounds.height};
  }
  return choose_monitor_entry(ui->window_display(0), monitors);
}

void release_device_objects() {
  d3d_renderer_state_record& st = d3d_renderer_state;
  if (st.device) {
    if (st.white_texture) st.device->release_texture(st.white_texture);
    if (st.black_texture) st.device->release_texture(st.black_texture);
  }
  st.white_texture = st.black_texture = 0;
  st.effect_ready = false;
  st.device.reset();
}

}  // namespace

int create_d3d_device() {
  d3d_renderer_state_record& st = d3d_renderer_state;
  GpuSystem* system = platform_installed() ? platform().gpu : nullptr;
  st.adapter = main_window_adapter();
  if (system) system->prefer_adapter(st.adapter);
  if (!system) {
    d3d_box("", "[DX]オブジェクトを生成できませんでした。");
    d3d_log("[DX]オブジェクトを生成できませんでした。");
    return -1;
  }
  d3d_log("[DX]オブジェクトを生成しました。");
  const int mode_w = system_info.desktop_width, mode_h = system_info.desktop_height;
  const int depth = system_info.desktop_depth, refresh = system_info.desktop_refresh;
  if (!st.modes_listed) {
    st.modes_listed = true;
    write_info_log("", "[%3d]%4dx%4d (%dHz) %s", 0, mode_w, mode_h, refresh, depth == 32 ? "X8R8G8B8" : "R5G6B5");
    d3d_log("ディスプレイモード取得完了");
  }
  int main_w = 0, main_h = 0;
  main_picture_size(main_w, main_h);
  st.target_width = std::max(d3d_min_target_width, main_w);
  st.target_height = std::max(d3d_min_target_height, main_h);

  std::string why;
  std::unique_ptr<GpuDevice> device;
  if (!engine_settings.device_option) {
    device = system->create_device(gpu_attempt::hardware, st.target_width, st.target_height, &why);
    if (device) {
      st.attempt = gpu_attempt::hardware;
      d3d_log("[DX]ハードウェアの理想の状態で初期化成功しました。");
    }
  }
  if (!device) {
    if (!why.empty()) write_info_log("", "[DX] %s", why);
    d3d_log("[DX]ハードウェアの理想の状態で初期化できませんでした。");
    device = system->create_device(gpu_attempt::mixed, st.target_width, st.target_height, &why);
    if (device) {
      st.attempt = gpu_attempt::mixed;
      d3d_log("[DX]ハードウェアの２番目に理想の状態で初期化成功しました。");
    }
  }
  if (!device) {
    write_info_log("", "[DX] %s", why);
    d3d_log("[DX]ハードウェアの２番目に理想の状態で初期化できませんでした。");
    device = system->create_device(gpu_attempt::software, st.target_width, st.target_height, &why);
    if (device) {
      st.attempt = gpu_attempt::software;
      d3d_log("[DX]頂点処理だけソフトウェアエミュレーションで成功しました。");
    }
  }
  if (!device) {
    d3d_box("", "[Direct3Dエラー]頂点処理ソフトウェアエミュレーションに失敗しました。");
    d3d_log("[DX]頂点処理ソフトウェアエミュレーションに失敗しました。");
    write_info_log("", "[DX] %s", why);
    return -1;
  }
  write_info_log("", "[DX] %s: %s", device->info().backend, device->info().renderer);
  st.device = std::move(device);
  write_info_log("", utf8_to_sjis("オフスクリーンサーフェス(L) %dx%d 生成しました."), st.target_width, st.target_height);
  return 0;
}

void d3d_adapter_lines(std::vector<std::string>& lines) {
  GpuSystem* system = platform_installed() ? platform().gpu : nullptr;
  if (!system || system->drawing_disabled()) return;
  lines.push_back("GPU");
  for (const std::string& line : system->adapter_lines()) lines.push_back(utf8_to_sjis("▼ ") + line);
}

int dump_device_caps() {
  d3d_renderer_state_record& st = d3d_renderer_state;
  if (!st.device) return 1;
  const gpu_device_info& info = st.device->info();
  st.max_texture_width = info.max_texture_width;
  st.max_texture_height = info.max_texture_height;
  if (st.caps_dumped) return 0;
  st.caps_dumped = true;
  write_info_log("", utf8_to_sjis("■Texture Mem Free = %d MB"), int64_t(info.texture_memory_bytes >> 20));
  write_info_log("", utf8_to_sjis("■Device = %s"), info.backend);
  for (const auto& fact : info.facts) write_info_log("", " %-28s = %s", fact.first, fact.second);
  write_info_log("", utf8_to_sjis("■VertexShaderVersion = %3f"), double(info.vertex_shader_major));
  write_info_log("", utf8_to_sjis("■PixelShaderVersion = %3f"), double(info.pixel_shader_level) / 10.0);
  write_info_log("", "MaxTextureWidth = %d", info.max_texture_width);
  write_info_log("", "MaxTextureHeight = %d", info.max_texture_height);
  if (info.pixel_shader_level < d3d_required_shader_level) {
    d3d_box("環境チェック",
            "ビデオカードにピクセルシェーダ 2.0以降 が実装されていません。\r\nビデオカードが推奨スペック(※DirectX9.0 "
            "に対応したAGP/PCI-E接続ビデオカード、もしくはチップセット)を\r\n満たしていない可能性があります。\r\n\r\n["
            "エンジン設定.exe]を起動して頂き、ゲーム画面の描画方法の項目を【 CPU(バイリニア) "
            "】にセットして\r\n起動し直していただければ動作いたします。");
    return 1;
  }
  return 0;
}

int set_device_defaults() {
  d3d_renderer_state_record& st = d3d_renderer_state;
  // Blend ONE / ZERO / ADD and a plain modulating stage: what a mode without
  // states of its own draws with until another mode sets some.
  st.current = gpu_draw_state{};
  d3d_log("デバイス設定完了");
  if (!engine_settings.gpu_drawing || !st.device) return 0;
  std::vector<uint8_t> pixels(size_t(d3d_white_texture_width) * d3d_white_texture_height * 4, 255);
  const gpu_texture_format format = d3d_texture_format();
  auto make = [&](const char* failure) -> uint32_t {
    uint32_t t = st.device->create_texture(d3d_white_texture_width, d3d_white_texture_height, format);
    if (!t || !st.device->upload_texture(t, 0, 0, d3d_white_texture_width, d3d_white_texture_height, pixels.data(),
                                         size_t(d3d_white_texture_width) * 4, false)) {
      if (t) st.device->release_texture(t);
      d3d_log(failure);
      d3d_box("", failure);
      return 0;
    }
    return t;
  };
  st.white_texture = make("WHITETEXBUF ERROR.");
  for (size_t i = 0; i < pixels.size(); i += 4) pixels[i] = pixels[i + 1] = pixels[i + 2] = 0;
  st.black_texture = make("BLACKTEXBUF ERROR.");
  return 0;
}

int init_shader_effect() {
  d3d_renderer_state_record& st = d3d_renderer_state;
  st.effect_ready = false;
  if (!st.device) return -1;
  const int r = st.device->load_effect("KX_ShaderTest1");
  if (r == -2) {
    d3d_box("", "指定されたテクニック名が見つかりませんでした。");
    return -1;
  }
  if (r != 0) {
    d3d_box("", "[エラー] Shader Init Error.");
    return -1;
  }
  st.effect_ready = true;
  return 0;
}

int init_direct3d() {
  install_gpu_drawing_hooks();
  GpuSystem* system = platform_installed() ? platform().gpu : nullptr;
  if (system && system->drawing_disabled()) {
    // The user chose CPU drawing: no device, no message.
    engine_settings.gpu_drawing = 0;
    engine_settings.smoothing = 1;
    engine_settings.quality_level = 1;
    d3d_log("GPU drawing off by the user's choice.");
    return 0;
  }
  d3d_log("Direct3D初期化開始");
  if (create_d3d_device() != 0) return 1;
  d3d_log("Direct3D初期化完了");
  if (dump_device_caps() != 0) {
    release_device_objects();
    return 1;
  }
  d3d_log("VGA情報取得完了");
  set_device_defaults();
  d3d_log("Direct3D設定初期化完了");
  if (init_shader_effect() != 0) {
    release_device_objects();
    return 1;
  }
  d3d_log("PixelShader初期化完了");
  return 0;
}

void release_direct3d() {
  // Layer textures first: their handles die with the device.
  if (d3d_renderer_state.device) walk_tree_textures(object_trees[tree_layers].root, 1);
  release_device_objects();
}
