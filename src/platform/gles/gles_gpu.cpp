#include "platform/gles/gles_gpu.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES3/gl3.h>
#include <GLES2/gl2ext.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <thread>
#include <map>
#include <mutex>
#include <vector>

#include "platform/gpu/gpu_pixels.h"

uint32_t (*gles_reset_status_query)() = nullptr;

namespace {

const char* const vertex_shader_text = R"(#version 300 es
layout(location = 0) in vec4 a_position;
layout(location = 1) in vec4 a_diffuse;
layout(location = 2) in vec2 a_uv;
uniform vec2 u_target;
out vec4 v_diffuse;
out vec2 v_uv;
void main() {
  // Engine pixel centres lie on whole coordinates, GL's half a pixel on; image
  // row 0 is GL row 0, so the read-back needs no flip.
  gl_Position = vec4((a_position.x + 0.5) / u_target.x * 2.0 - 1.0,
                     (a_position.y + 0.5) / u_target.y * 2.0 - 1.0, 0.0, 1.0);
  v_diffuse = a_diffuse.bgra;
  v_uv = a_uv;
}
)";

// Modes 0..4 are the texture stage set-ups (gpu_combiner order), 10 and 11 the
// effect's passes 0 and 1.
const char* const fragment_shader_text = R"(#version 300 es
precision highp float;
uniform sampler2D u_t0;
uniform sampler2D u_t1;
uniform bool u_has_t0;
uniform bool u_has_t1;
uniform int u_mode;
uniform vec4 u_factor;
uniform float u_alpha;
uniform float u_fade;
uniform float u_fade2;
in vec4 v_diffuse;
in vec2 v_uv;
out vec4 o_colour;
void main() {
  vec4 t0 = u_has_t0 ? texture(u_t0, v_uv) : vec4(1.0);
  vec4 t1 = u_has_t1 ? texture(u_t1, v_uv) : vec4(1.0);
  vec4 d = v_diffuse;
  vec4 r;
  if (u_mode == 10) {
    r = mix(t0, t1, u_fade);
    r.a *= u_alpha;
  } else if (u_mode == 11) {
    float w = clamp(u_fade2 * (t1.b * 255.0 - 256.0 + 512.0 * u_fade) / 512.0, 0.0, 1.0);
    r = vec4(t0.rgb, t0.a * w * u_alpha);
  } else if (u_mode == 0) {
    r = vec4(t0.rgb, t0.a * u_factor.a);
  } else if (u_mode == 1) {
    r = vec4(t0.rgb, t0.a * d.a);
  } else if (u_mode == 2) {
    r = t0 * d;
  } else {
    vec4 c = t0 * d;
    vec3 to = u_mode == 3 ? t1.rgb : u_factor.rgb;
    r = vec4(c.rgb * c.a + to * (1.0 - c.a), c.a);
  }
  o_colour = clamp(r, 0.0, 1.0);
}
)";

GLenum gl_factor(gpu_blend f) {
  switch (f) {
    case gpu_blend::zero: return GL_ZERO;
    case gpu_blend::one: return GL_ONE;
    case gpu_blend::src_color: return GL_SRC_COLOR;
    case gpu_blend::inv_src_color: return GL_ONE_MINUS_SRC_COLOR;
    case gpu_blend::src_alpha: return GL_SRC_ALPHA;
    case gpu_blend::inv_src_alpha: return GL_ONE_MINUS_SRC_ALPHA;
    case gpu_blend::inv_dest_color: return GL_ONE_MINUS_DST_COLOR;
  }
  return GL_ONE;
}

GLenum gl_equation(gpu_blend_op op) {
  switch (op) {
    case gpu_blend_op::add: return GL_FUNC_ADD;
    case gpu_blend_op::rev_subtract: return GL_FUNC_REVERSE_SUBTRACT;
    case gpu_blend_op::min: return GL_MIN;
    case gpu_blend_op::max: return GL_MAX;
  }
  return GL_FUNC_ADD;
}

bool software_renderer(const std::string& renderer) {
  for (const char* name : {"llvmpipe", "softpipe", "swrast", "SWR", "Software"})
    if (renderer.find(name) != std::string::npos) return true;
  return false;
}

std::string gl_text(GLenum name) {
  const GLubyte* s = glGetString(name);
  return s ? reinterpret_cast<const char*>(s) : "";
}

GLuint compile(GLenum kind, const char* text, std::string* log) {
  GLuint s = glCreateShader(kind);
  glShaderSource(s, 1, &text, nullptr);
  glCompileShader(s);
  GLint ok = 0;
  glGetShaderiv(s, GL_COMPILE_STATUS, &ok);
  if (!ok) {
    char buffer[1024] = {};
    glGetShaderInfoLog(s, sizeof buffer - 1, nullptr, buffer);
    *log = buffer;
    glDeleteShader(s);
    return 0;
  }
  return s;
}

// EGL displays are shared by everyone who opens the same device and are
// never terminated (another device may still use one).
std::mutex display_mutex;

class GlesContext final : public GpuDevice {
 public:
  ~GlesContext() override {
    if (display_ == EGL_NO_DISPLAY) return;
    if (context_ != EGL_NO_CONTEXT && make_current()) {
      for (auto& t : textures_) glDeleteTextures(1, &t.second.name);
      if (program_) glDeleteProgram(program_);
      if (vbo_) glDeleteBuffers(1, &vbo_);
      if (vao_) glDeleteVertexArrays(1, &vao_);
      if (renderbuffer_) glDeleteRenderbuffers(1, &renderbuffer_);
      if (framebuffer_) glDeleteFramebuffers(1, &framebuffer_);
      release_current();
    }
    if (context_ != EGL_NO_CONTEXT) eglDestroyContext(display_, context_);
    if (surface_ != EGL_NO_SURFACE) eglDestroySurface(display_, surface_);
  }

  bool open(EGLDisplay display, gles_device_kind kind, int width, int height, std::string* why) {
    display_ = display;
    width_ = width;
    height_ = height;
    if (!eglBindAPI(EGL_OPENGL_ES_API)) return fail(why, "eglBindAPI");
    const char* extensions = eglQueryString(display_, EGL_EXTENSIONS);
    const std::string ext = extensions ? extensions : "";
    // A context that hears of its own loss where the driver offers it: a GPU
    // reset then reaches the engine's rebuild instead of failing every call.
    const EGLint robust_attributes[] = {EGL_CONTEXT_MAJOR_VERSION, 3, EGL_CONTEXT_MINOR_VERSION, 0,
                                        EGL_CONTEXT_OPENGL_RESET_NOTIFICATION_STRATEGY_EXT, EGL_LOSE_CONTEXT_ON_RESET_EXT,
                                        EGL_NONE};
    const EGLint plain_attributes[] = {EGL_CONTEXT_MAJOR_VERSION, 3, EGL_CONTEXT_MINOR_VERSION, 0, EGL_NONE};
    const bool robust_offered = ext.find("EGL_EXT_create_context_robustness") != std::string::npos;
    auto create = [&](EGLConfig config) {
      if (robust_offered) {
        EGLContext c = eglCreateContext(display_, config, EGL_NO_CONTEXT, robust_attributes);
        if (c != EGL_NO_CONTEXT) {
          reset_notification_ = true;
          return c;
        }
      }
      return eglCreateContext(display_, config, EGL_NO_CONTEXT, plain_attributes);
    };
    if (ext.find("EGL_KHR_no_config_context") != std::string::npos &&
        ext.find("EGL_KHR_surfaceless_context") != std::string::npos) {
      context_ = create(EGL_NO_CONFIG_KHR);
    }
    if (context_ == EGL_NO_CONTEXT) {
      const EGLint config_attributes[] = {EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_RENDERABLE_TYPE, EGL_OPENGL_ES3_BIT,
                                          EGL_RED_SIZE, 8, EGL_GREEN_SIZE, 8, EGL_BLUE_SIZE, 8, EGL_ALPHA_SIZE, 8,
                                          EGL_NONE};
      EGLConfig config = nullptr;
      EGLint count = 0;
      if (!eglChooseConfig(display_, config_attributes, &config, 1, &count) || count < 1)
        return fail(why, "no ES 3 configuration");
      const EGLint pbuffer_attributes[] = {EGL_WIDTH, 1, EGL_HEIGHT, 1, EGL_NONE};
      surface_ = eglCreatePbufferSurface(display_, config, pbuffer_attributes);
      if (surface_ == EGL_NO_SURFACE) return fail(why, "eglCreatePbufferSurface");
      context_ = create(config);
    }
    if (context_ == EGL_NO_CONTEXT) return fail(why, "eglCreateContext");
    if (!make_current()) return fail(why, "eglMakeCurrent");
    return setup(kind, why);
  }

  const gpu_device_info& info() const override { return info_; }
  int target_width() const override { return width_; }
  int target_height() const override { return height_; }

  int load_effect(const std::string& technique) override {
    if (technique != "KX_ShaderTest1") return -2;
    return program_ ? 0 : -1;
  }

  uint32_t create_texture(int width, int height, gpu_texture_format format) override {
    if (width <= 0 || height <= 0 || width > info_.max_texture_width || height > info_.max_texture_height) return 0;
    while (glGetError() != GL_NO_ERROR) {
    }
    GLuint name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    const bool wide = format == gpu_texture_format::bgra8888;
    glTexStorage2D(GL_TEXTURE_2D, 1, wide ? GL_RGBA8 : GL_RGBA4, width, height);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    // Transparent black until the first upload, as the rasteriser starts.
    std::vector<uint8_t> zero(size_t(width) * size_t(height) * (wide ? 4 : 2), 0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, GL_RGBA, wide ? GL_UNSIGNED_BYTE : GL_UNSIGNED_SHORT_4_4_4_4,
                    zero.data());
    if (glGetError() != GL_NO_ERROR) {
      glDeleteTextures(1, &name);
      return 0;
    }
    const uint32_t id = next_texture_++;
    textures_[id] = {name, width, height, format};
    return id;
  }

  void release_texture(uint32_t id) override {
    auto it = textures_.find(id);
    if (it == textures_.end()) return;
    glDeleteTextures(1, &it->second.name);
    textures_.erase(it);
  }

  bool upload_texture(uint32_t id, int x, int y, int width, int height, const uint8_t* bgra, size_t stride,
                      bool dither) override {
    auto it = textures_.find(id);
    if (it == textures_.end()) return false;
    const texture& t = it->second;
    if (x < 0 || y < 0 || width <= 0 || height <= 0 || x + width > t.width || y + height > t.height) return false;
    while (glGetError() != GL_NO_ERROR) {
    }
    glBindTexture(GL_TEXTURE_2D, t.name);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    if (t.format == gpu_texture_format::bgra4444) {
      std::vector<uint16_t> q(size_t(width) * size_t(height));
      quantise_4444(bgra, stride, width, height, dither, q.data());
      glTexSubImage2D(GL_TEXTURE_2D, 0, x, y, width, height, GL_RGBA, GL_UNSIGNED_SHORT_4_4_4_4, q.data());
    } else {
      std::vector<uint8_t> rgba(size_t(width) * size_t(height) * 4);
      for (int r = 0; r < height; ++r) {
        const uint8_t* s = bgra + size_t(r) * stride;
        uint8_t* d = &rgba[size_t(r) * size_t(width) * 4];
        for (int c = 0; c < width; ++c, s += 4, d += 4) {
          d[0] = s[2];
          d[1] = s[1];
          d[2] = s[0];
          d[3] = s[3];
        }
      }
      glTexSubImage2D(GL_TEXTURE_2D, 0, x, y, width, height, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    }
    return glGetError() == GL_NO_ERROR;
  }

  bool begin_scene() override {
    if (in_scene_) return false;
    in_scene_ = true;
    bind_target();
    return true;
  }

  bool end_scene() override {
    if (!in_scene_) return false;
    in_scene_ = false;
    return glGetError() == GL_NO_ERROR;
  }

  bool clear(uint32_t argb) override {
    bind_target();
    glDisable(GL_BLEND);
    glClearColor(float((argb >> 16) & 255) / 255.f, float((argb >> 8) & 255) / 255.f, float(argb & 255) / 255.f,
                 float(argb >> 24) / 255.f);
    glClear(GL_COLOR_BUFFER_BIT);
    return glGetError() == GL_NO_ERROR;
  }

  bool draw_quad(const gpu_vertex vertices[4], const gpu_draw_state& s) override {
    if (!in_scene_) return false;
    glUseProgram(program_);
    int mode = s.pass == 0 ? 10 : s.pass == 1 ? 11 : static_cast<int>(s.combiner);
    glUniform1i(u_mode_, mode);
    glUniform4f(u_factor_, float((s.texture_factor >> 16) & 255) / 255.f, float((s.texture_factor >> 8) & 255) / 255.f,
                float(s.texture_factor & 255) / 255.f, float(s.texture_factor >> 24) / 255.f);
    glUniform1f(u_alpha_, s.alpha_val);
    glUniform1f(u_fade_, s.fade_val);
    glUniform1f(u_fade2_, s.fade_val2);
    bind_texture(0, s.texture0, s, u_has_t0_);
    bind_texture(1, s.texture1, s, u_has_t1_);
    glEnable(GL_BLEND);
    glBlendEquation(gl_equation(s.op));
    glBlendFunc(gl_factor(s.src), gl_factor(s.dst));
    glBindVertexArray(vao_);
    glBindBuffer(GL_ARRAY_BUFFER, vbo_);
    glBufferSubData(GL_ARRAY_BUFFER, 0, sizeof(gpu_vertex) * 4, vertices);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    return glGetError() == GL_NO_ERROR;
  }

  // Asks the context whether a reset lost it; once lost it stays lost.
  bool lost() override {
    if (lost_) return true;
    GLenum status = GL_NO_ERROR;
    if (gles_reset_status_query) {
      status = gles_reset_status_query();
    } else if (reset_notification_ && reset_status_) {
      status = reset_status_();
    }
    lost_ = status != GL_NO_ERROR;
    return lost_;
  }

  bool read_back(uint8_t* bgra, int width, int height, size_t stride) override {
    if (width <= 0 || height <= 0 || width > width_ || height > height_) return false;
    bind_target();
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    rows_.resize(size_t(width) * size_t(height) * 4);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, rows_.data());
    if (glGetError() != GL_NO_ERROR) return false;
    for (int r = 0; r < height; ++r) {
      const uint8_t* s = &rows_[size_t(r) * size_t(width) * 4];
      uint8_t* d = bgra + size_t(r) * stride;
      for (int c = 0; c < width; ++c, s += 4, d += 4) {
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
        d[3] = s[3];
      }
    }
    return true;
  }

 private:
  struct texture {
    GLuint name = 0;
    int width = 0, height = 0;
    gpu_texture_format format = gpu_texture_format::bgra8888;
  };

  bool make_current() {
    if (eglGetCurrentContext() == context_) return true;
    return eglMakeCurrent(display_, surface_, surface_, context_) == EGL_TRUE;
  }
  void release_current() { eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT); }

  static bool fail(std::string* why, const char* what) {
    *why = std::string(what) + " failed";
    return false;
  }

  void bind_target() {
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    glViewport(0, 0, width_, height_);
  }

  void bind_texture(int unit, uint32_t id, const gpu_draw_state& s, GLint has_uniform) {
    glActiveTexture(GL_TEXTURE0 + unit);
    auto it = textures_.find(id);
    if (it == textures_.end()) {
      glBindTexture(GL_TEXTURE_2D, 0);
      glUniform1i(has_uniform, 0);
      return;
    }
    glBindTexture(GL_TEXTURE_2D, it->second.name);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, s.mag_filter == gpu_filter::point ? GL_NEAREST : GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, s.min_filter == gpu_filter::point ? GL_NEAREST : GL_LINEAR);
    glUniform1i(has_uniform, 1);
  }

  bool setup(gles_device_kind kind, std::string* why) {
    info_.backend = "OpenGL ES";
    info_.vendor = gl_text(GL_VENDOR);
    info_.renderer = gl_text(GL_RENDERER);
    info_.version = gl_text(GL_VERSION);
    info_.shading_language = gl_text(GL_SHADING_LANGUAGE_VERSION);
    info_.hardware = !software_renderer(info_.renderer);
    if (reset_notification_) {
      const std::string gl_extensions = gl_text(GL_EXTENSIONS);
      const char* name = gl_extensions.find("GL_KHR_robustness") != std::string::npos ? "glGetGraphicsResetStatusKHR"
                         : gl_extensions.find("GL_EXT_robustness") != std::string::npos ? "glGetGraphicsResetStatusEXT"
                                                                                          : nullptr;
      if (name) reset_status_ = reinterpret_cast<PFNGLGETGRAPHICSRESETSTATUSKHRPROC>(eglGetProcAddress(name));
    }
    if (kind == gles_device_kind::hardware && !info_.hardware) {
      *why = "only a software renderer: " + info_.renderer;
      return false;
    }
    if (kind == gles_device_kind::llvmpipe && info_.hardware) {
      *why = "not a software renderer: " + info_.renderer;
      return false;
    }
    GLint max_texture = 0, max_renderbuffer = 0, units = 0, viewport[2] = {0, 0};
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max_texture);
    glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &max_renderbuffer);
    glGetIntegerv(GL_MAX_TEXTURE_IMAGE_UNITS, &units);
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, viewport);
    info_.max_texture_width = info_.max_texture_height = max_texture;
    info_.pixel_shader_level = 30;  // GLSL ES 3.00 does what ps_3_0 does
    info_.vertex_shader_major = 3;
    info_.facts = {{"EGL_VENDOR", eglQueryString(display_, EGL_VENDOR) ? eglQueryString(display_, EGL_VENDOR) : ""},
                   {"EGL_VERSION", eglQueryString(display_, EGL_VERSION) ? eglQueryString(display_, EGL_VERSION) : ""},
                   {"GL_VENDOR", info_.vendor},
                   {"GL_RENDERER", info_.renderer},
                   {"GL_VERSION", info_.version},
                   {"GL_SHADING_LANGUAGE_VERSION", info_.shading_language},
                   {"GL_MAX_TEXTURE_SIZE", std::to_string(max_texture)},
                   {"GL_MAX_RENDERBUFFER_SIZE", std::to_string(max_renderbuffer)},
                   {"GL_MAX_TEXTURE_IMAGE_UNITS", std::to_string(units)},
                   {"GL_MAX_VIEWPORT_DIMS", std::to_string(viewport[0]) + "x" + std::to_string(viewport[1])},
                   {"RESET_NOTIFICATION", reset_notification_ && reset_status_ ? "1" : "0"}};
    if (width_ <= 0 || height_ <= 0 || width_ > max_renderbuffer || height_ > max_renderbuffer ||
        width_ > viewport[0] || height_ > viewport[1]) {
      *why = "target too large";
      return false;
    }
    glGenFramebuffers(1, &framebuffer_);
    glGenRenderbuffers(1, &renderbuffer_);
    glBindRenderbuffer(GL_RENDERBUFFER, renderbuffer_);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width_, height_);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, renderbuffer_);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) return fail(why, "framebuffer");
    glViewport(0, 0, width_, height_);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glDisable(GL_DITHER);
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);

    std::string log;
    GLuint vs = compile(GL_VERTEX_SHADER, vertex_shader_text, &log);
    GLuint fs = vs ? compile(GL_FRAGMENT_SHADER, fragment_shader_text, &log) : 0;
    if (vs && fs) {
      program_ = glCreateProgram();
      glAttachShader(program_, vs);
      glAttachShader(program_, fs);
      glLinkProgram(program_);
      GLint linked = 0;
      glGetProgramiv(program_, GL_LINK_STATUS, &linked);
      if (!linked) {
        glDeleteProgram(program_);
        program_ = 0;
      }
    }
    if (vs) glDeleteShader(vs);
    if (fs) glDeleteShader(fs);
    if (program_) {
      glUseProgram(program_);
      glUniform1i(glGetUniformLocation(program_, "u_t0"), 0);
      glUniform1i(glGetUniformLocation(program_, "u_t1"), 1);
      glUniform2f(glGetUniformLocation(program_, "u_target"), float(width_), float(height_));
      u_has_t0_ = glGetUniformLocation(program_, "u_has_t0");
      u_has_t1_ = glGetUniformLocation(program_, "u_has_t1");
      u_mode_ = glGetUniformLocation(program_, "u_mode");
      u_factor_ = glGetUniformLocation(program_, "u_factor");
      u_alpha_ = glGetUniformLocation(program_, "u_alpha");
      u_fade_ = glGetUniformLocation(program_, "u_fade");
      u_fade2_ = glGetUniformLocation(program_, "u_fade2");
    }
    glGenVertexArrays(1, &vao_);
    glGenBuffers(1, &vbo_);
    glBindVertexArray(vao_);
    glBindBuffer(GL_ARRAY_BUFFER, vbo_);
    glBufferData(GL_ARRAY_BUFFER, sizeof(gpu_vertex) * 4, nullptr, GL_DYNAMIC_DRAW);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 4, GL_FLOAT, GL_FALSE, sizeof(gpu_vertex), reinterpret_cast<void*>(0));
    glEnableVertexAttribArray(1);
    glVertexAttribPointer(1, 4, GL_UNSIGNED_BYTE, GL_TRUE, sizeof(gpu_vertex), reinterpret_cast<void*>(16));
    glEnableVertexAttribArray(2);
    glVertexAttribPointer(2, 2, GL_FLOAT, GL_FALSE, sizeof(gpu_vertex), reinterpret_cast<void*>(20));
    if (glGetError() != GL_NO_ERROR) return fail(why, "OpenGL ES set-up");
    return true;
  }

  gpu_device_info info_;
  EGLDisplay display_ = EGL_NO_DISPLAY;
  EGLContext context_ = EGL_NO_CONTEXT;
  EGLSurface surface_ = EGL_NO_SURFACE;
  int width_ = 0, height_ = 0;
  GLuint framebuffer_ = 0, renderbuffer_ = 0, program_ = 0, vao_ = 0, vbo_ = 0;
  GLint u_has_t0_ = -1, u_has_t1_ = -1, u_mode_ = -1, u_factor_ = -1, u_alpha_ = -1, u_fade_ = -1, u_fade2_ = -1;
  std::map<uint32_t, texture> textures_;
  uint32_t next_texture_ = 1;
  bool in_scene_ = false;
  std::vector<uint8_t> rows_;
  bool reset_notification_ = false;  // made with the lose-context-on-reset strategy
  PFNGLGETGRAPHICSRESETSTATUSKHRPROC reset_status_ = nullptr;
  bool lost_ = false;
};

// Runs every call of one device on a thread of its own, where its context is
// current for the device's whole life. The engine calls from the main thread
// (creation, rebuilds) and the frame thread (drawing); a context cannot
// follow it there when that thread already has another API's context current
// (the window's renderer), so the context stays put and the calls travel.
class GlesGpuDevice final : public GpuDevice {
 public:
  GlesGpuDevice() : thread_([this] { serve(); }) {}
  ~GlesGpuDevice() override {
    run([this] { context_.reset(); });
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  bool open(EGLDisplay display, gles_device_kind kind, int width, int height, std::string* why) {
    bool ok = false;
    run([&] {
      context_ = std::make_unique<GlesContext>();
      ok = context_->open(display, kind, width, height, why);
      if (ok) info_ = context_->info();
    });
    return ok;
  }

  const gpu_device_info& info() const override { return info_; }
  int target_width() const override { return info_width_(); }
  int target_height() const override { return info_height_(); }
  int load_effect(const std::string& technique) override {
    int r = -1;
    run([&] { r = context_->load_effect(technique); });
    return r;
  }
  uint32_t create_texture(int width, int height, gpu_texture_format format) override {
    uint32_t r = 0;
    run([&] { r = context_->create_texture(width, height, format); });
    return r;
  }
  void release_texture(uint32_t texture) override {
    run([&] { context_->release_texture(texture); });
  }
  bool upload_texture(uint32_t texture, int x, int y, int width, int height, const uint8_t* bgra, size_t stride,
                      bool dither) override {
    bool r = false;
    run([&] { r = context_->upload_texture(texture, x, y, width, height, bgra, stride, dither); });
    return r;
  }
  bool begin_scene() override { return call_bool([this] { return context_->begin_scene(); }); }
  bool end_scene() override { return call_bool([this] { return context_->end_scene(); }); }
  bool clear(uint32_t argb) override { return call_bool([&] { return context_->clear(argb); }); }
  bool draw_quad(const gpu_vertex vertices[4], const gpu_draw_state& state) override {
    return call_bool([&] { return context_->draw_quad(vertices, state); });
  }
  bool read_back(uint8_t* bgra, int width, int height, size_t stride) override {
    return call_bool([&] { return context_->read_back(bgra, width, height, stride); });
  }
  bool lost() override { return call_bool([this] { return context_->lost(); }); }

 private:
  int info_width_() const { return context_ ? context_->target_width() : 0; }
  int info_height_() const { return context_ ? context_->target_height() : 0; }

  template <class F>
  bool call_bool(F f) {
    bool r = false;
    run([&] { r = f(); });
    return r;
  }

  void run(const std::function<void()>& job) {
    std::lock_guard<std::mutex> one_caller(call_mutex_);
    std::unique_lock<std::mutex> lock(mutex_);
    job_ = &job;
    done_ = false;
    wake_.notify_all();
    finished_.wait(lock, [this] { return done_; });
  }

  void serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return job_ || stop_; });
      if (job_) {
        const std::function<void()>* job = job_;
        job_ = nullptr;
        lock.unlock();
        (*job)();
        lock.lock();
        done_ = true;
        finished_.notify_all();
        continue;
      }
      if (stop_) break;
    }
    eglReleaseThread();
  }

  gpu_device_info info_;
  std::unique_ptr<GlesContext> context_;
  std::mutex call_mutex_, mutex_;
  std::condition_variable wake_, finished_;
  const std::function<void()>* job_ = nullptr;
  bool done_ = false, stop_ = false;
  std::thread thread_;
};

// The EGL devices in EGL's order, each with what it is.
struct egl_device_entry {
  EGLDeviceEXT device = nullptr;
  gles_adapter adapter;
};

std::vector<egl_device_entry> egl_devices() {
  std::vector<egl_device_entry> out;
  auto query_devices = reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
  auto query_device_string =
      reinterpret_cast<PFNEGLQUERYDEVICESTRINGEXTPROC>(eglGetProcAddress("eglQueryDeviceStringEXT"));
  if (!query_devices || !query_device_string) return out;
  EGLDeviceEXT devices[16];
  EGLint count = 0;
  if (!query_devices(16, devices, &count)) return out;
  for (EGLint i = 0; i < count; ++i) {
    const char* e = query_device_string(devices[i], EGL_EXTENSIONS);
    const std::string ext = e ? e : "";
    egl_device_entry entry;
    entry.device = devices[i];
    entry.adapter.software = ext.find("EGL_MESA_device_software") != std::string::npos;
    entry.adapter.drm = ext.find("EGL_EXT_device_drm") != std::string::npos;
    if (entry.adapter.drm) {
      const char* file = query_device_string(devices[i], EGL_DRM_DEVICE_FILE_EXT);
      entry.adapter.name = file ? file : "";
    }
    if (entry.adapter.name.empty()) entry.adapter.name = entry.adapter.software ? "Mesa software device" : "EGL device";
    out.push_back(entry);
  }
  return out;
}

bool hardware_device(const gles_adapter& a) { return a.drm && !a.software; }

// Candidate displays for a kind: EGL devices first (a DRM device for
// hardware, the preferred adapter's first, then Mesa's software device for
// llvmpipe), then Mesa's surfaceless platform, whose renderer is checked
// after the context exists.
std::vector<EGLDisplay> candidate_displays(gles_device_kind kind, int preferred_adapter) {
  std::vector<EGLDisplay> out;
  auto get_platform_display =
      reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
  if (!get_platform_display) return out;
  std::vector<egl_device_entry> wanted;
  for (const egl_device_entry& e : egl_devices())
    if ((kind == gles_device_kind::llvmpipe && e.adapter.software) ||
        (kind == gles_device_kind::hardware && hardware_device(e.adapter)))
      wanted.push_back(e);
  if (kind == gles_device_kind::hardware && preferred_adapter > 0 && preferred_adapter < int(wanted.size()))
    std::rotate(wanted.begin(), wanted.begin() + preferred_adapter, wanted.begin() + preferred_adapter + 1);
  for (const egl_device_entry& e : wanted) {
    EGLDisplay d = get_platform_display(EGL_PLATFORM_DEVICE_EXT, e.device, nullptr);
    if (d != EGL_NO_DISPLAY) out.push_back(d);
  }
  EGLDisplay surfaceless = get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  if (surfaceless != EGL_NO_DISPLAY) out.push_back(surfaceless);
  return out;
}

}  // namespace

std::vector<gles_adapter> list_gles_adapters() {
  std::lock_guard<std::mutex> lock(display_mutex);
  std::vector<gles_adapter> hardware, others;
  for (const egl_device_entry& e : egl_devices()) (hardware_device(e.adapter) ? hardware : others).push_back(e.adapter);
  hardware.insert(hardware.end(), others.begin(), others.end());
  return hardware;
}

std::unique_ptr<GpuDevice> make_gles_device(gles_device_kind kind, int target_width, int target_height,
                                            std::string* why, int preferred_adapter) {
  std::string dummy;
  if (!why) why = &dummy;
  std::lock_guard<std::mutex> lock(display_mutex);
  const char* client = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
  if (!client || !std::strstr(client, "EGL_EXT_platform_base")) {
    *why = "EGL has no platform displays";
    return nullptr;
  }
  *why = "no EGL display";
  for (EGLDisplay display : candidate_displays(kind, preferred_adapter)) {
    EGLint major = 0, minor = 0;
    if (!eglInitialize(display, &major, &minor)) continue;
    auto device = std::make_unique<GlesGpuDevice>();
    if (device->open(display, kind, target_width, target_height, why)) return device;
  }
  return nullptr;
}
