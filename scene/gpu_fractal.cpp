// The GPU layer of the visualizer (see gpu_fractal.h). Sections in the order a frame visits them:
//   1. GL function table        4. fractal target and draw     7. timing
//   2. state save and restore   5. post effects                8. init and shutdown
//   3. programs                 6. echo
//
// Threads: the window thread only.
#include "scene/gpu_fractal.h"

#include "core/logger.h"
#include "scene/gpu_fractal_glsl.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_opengl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace gpu_fractal {
namespace {

// ---------------------------------------------------------------------------------------------
// 1. GL function table, fetched by name through SDL so that the program links no GL library.

struct Gl {
    void(APIENTRY* GetIntegerv)(GLenum, GLint*);
    GLboolean(APIENTRY* IsEnabled)(GLenum);
    void(APIENTRY* Enable)(GLenum);
    void(APIENTRY* Disable)(GLenum);
    void(APIENTRY* Viewport)(GLint, GLint, GLsizei, GLsizei);
    void(APIENTRY* Scissor)(GLint, GLint, GLsizei, GLsizei);
    const GLubyte*(APIENTRY* GetString)(GLenum);
    void(APIENTRY* GenTextures)(GLsizei, GLuint*);
    void(APIENTRY* DeleteTextures)(GLsizei, const GLuint*);
    void(APIENTRY* BindTexture)(GLenum, GLuint);
    void(APIENTRY* TexImage2D)(GLenum, GLint, GLint, GLsizei, GLsizei, GLint, GLenum, GLenum, const void*);
    void(APIENTRY* TexParameteri)(GLenum, GLenum, GLint);
    void(APIENTRY* PixelStorei)(GLenum, GLint);
    void(APIENTRY* Begin)(GLenum);
    void(APIENTRY* End)();
    void(APIENTRY* Vertex2f)(GLfloat, GLfloat);
    void(APIENTRY* TexCoord2f)(GLfloat, GLfloat);
    void(APIENTRY* ActiveTexture)(GLenum);
    void(APIENTRY* BlendFuncSeparate)(GLenum, GLenum, GLenum, GLenum);
    void(APIENTRY* BlendEquationSeparate)(GLenum, GLenum);
    GLuint(APIENTRY* CreateShader)(GLenum);
    void(APIENTRY* ShaderSource)(GLuint, GLsizei, const GLchar* const*, const GLint*);
    void(APIENTRY* CompileShader)(GLuint);
    void(APIENTRY* GetShaderiv)(GLuint, GLenum, GLint*);
    void(APIENTRY* GetShaderInfoLog)(GLuint, GLsizei, GLsizei*, GLchar*);
    void(APIENTRY* DeleteShader)(GLuint);
    GLuint(APIENTRY* CreateProgram)();
    void(APIENTRY* AttachShader)(GLuint, GLuint);
    void(APIENTRY* LinkProgram)(GLuint);
    void(APIENTRY* GetProgramiv)(GLuint, GLenum, GLint*);
    void(APIENTRY* GetProgramInfoLog)(GLuint, GLsizei, GLsizei*, GLchar*);
    void(APIENTRY* DeleteProgram)(GLuint);
    void(APIENTRY* UseProgram)(GLuint);
    GLint(APIENTRY* GetUniformLocation)(GLuint, const GLchar*);
    void(APIENTRY* Uniform1i)(GLint, GLint);
    void(APIENTRY* Uniform1f)(GLint, GLfloat);
    void(APIENTRY* Uniform2f)(GLint, GLfloat, GLfloat);
    void(APIENTRY* Uniform3f)(GLint, GLfloat, GLfloat, GLfloat);
    void(APIENTRY* Uniform3fv)(GLint, GLsizei, const GLfloat*);
    void(APIENTRY* GenFramebuffers)(GLsizei, GLuint*);
    void(APIENTRY* DeleteFramebuffers)(GLsizei, const GLuint*);
    void(APIENTRY* BindFramebuffer)(GLenum, GLuint);
    void(APIENTRY* FramebufferTexture2D)(GLenum, GLenum, GLenum, GLuint, GLint);
    GLenum(APIENTRY* CheckFramebufferStatus)(GLenum);
    // Optional.
    void(APIENTRY* CopyTexSubImage2D)(GLenum, GLint, GLint, GLint, GLint, GLint, GLsizei, GLsizei);
    void(APIENTRY* BlitFramebuffer)(GLint, GLint, GLint, GLint, GLint, GLint, GLint, GLint, GLbitfield, GLenum);
    void(APIENTRY* Finish)();
    void(APIENTRY* GenQueries)(GLsizei, GLuint*);
    void(APIENTRY* DeleteQueries)(GLsizei, const GLuint*);
    void(APIENTRY* BeginQuery)(GLenum, GLuint);
    void(APIENTRY* EndQuery)(GLenum);
    void(APIENTRY* GetQueryObjectiv)(GLuint, GLenum, GLint*);
    void(APIENTRY* GetQueryObjectui64v)(GLuint, GLenum, GLuint64*);
    void(APIENTRY* Uniform4fv)(GLint, GLsizei, const GLfloat*);
    void(APIENTRY* BindBuffer)(GLenum, GLuint);
};
Gl gl{};

template <typename F> bool fetch(F& fn, const char* name, const char* fallback = nullptr) {
    void* p = SDL_GL_GetProcAddress(name);
    if (!p && fallback) p = SDL_GL_GetProcAddress(fallback);
    fn = reinterpret_cast<F>(p);
    return p != nullptr;
}

bool fetch_all() {
    bool ok = true;
#define LF_MUST(f) ok = fetch(gl.f, "gl" #f) && ok
#define LF_FBO(f) ok = fetch(gl.f, "gl" #f, "gl" #f "EXT") && ok
    LF_MUST(GetIntegerv); LF_MUST(IsEnabled); LF_MUST(Enable); LF_MUST(Disable); LF_MUST(Viewport);
    LF_MUST(Scissor); LF_MUST(GetString); LF_MUST(GenTextures); LF_MUST(DeleteTextures);
    LF_MUST(BindTexture); LF_MUST(TexImage2D); LF_MUST(TexParameteri); LF_MUST(Begin); LF_MUST(End);
    LF_MUST(Vertex2f); LF_MUST(TexCoord2f); LF_MUST(ActiveTexture); LF_MUST(BlendFuncSeparate);
    LF_MUST(BlendEquationSeparate); LF_MUST(CreateShader); LF_MUST(ShaderSource); LF_MUST(CompileShader);
    LF_MUST(GetShaderiv); LF_MUST(GetShaderInfoLog); LF_MUST(DeleteShader); LF_MUST(CreateProgram);
    LF_MUST(AttachShader); LF_MUST(LinkProgram); LF_MUST(GetProgramiv); LF_MUST(GetProgramInfoLog);
    LF_MUST(DeleteProgram); LF_MUST(UseProgram); LF_MUST(GetUniformLocation); LF_MUST(Uniform1i);
    LF_MUST(Uniform1f); LF_MUST(Uniform2f); LF_MUST(Uniform3f); LF_MUST(Uniform3fv);
    LF_FBO(GenFramebuffers); LF_FBO(DeleteFramebuffers); LF_FBO(BindFramebuffer);
    LF_FBO(FramebufferTexture2D); LF_FBO(CheckFramebufferStatus);
#undef LF_MUST
#undef LF_FBO
    fetch(gl.BlitFramebuffer, "glBlitFramebuffer", "glBlitFramebufferEXT");
    fetch(gl.Finish, "glFinish");
    fetch(gl.PixelStorei, "glPixelStorei");
    fetch(gl.GenQueries, "glGenQueries");
    fetch(gl.DeleteQueries, "glDeleteQueries");
    fetch(gl.BeginQuery, "glBeginQuery");
    fetch(gl.EndQuery, "glEndQuery");
    fetch(gl.GetQueryObjectiv, "glGetQueryObjectiv");
    fetch(gl.GetQueryObjectui64v, "glGetQueryObjectui64v", "glGetQueryObjectui64vEXT");
    fetch(gl.BindBuffer, "glBindBuffer");
    return ok;
}

// ---------------------------------------------------------------------------------------------
// 2. State save and restore. SDL caches what it last set and does not look again, so everything
// touched here goes back exactly as it was.

struct State {
    GLint prog, fbo, read_fbo, active, tex[2], array_buf;
    GLint viewport[4], scissor[4];
    GLint src_rgb, dst_rgb, src_a, dst_a, eq_rgb, eq_a;
    GLboolean scissor_on, blend_on, tex2d_on, cull_on, depth_on, stencil_on;
};

State save_state() {
    State s{};
    gl.GetIntegerv(GL_CURRENT_PROGRAM, &s.prog);
    gl.GetIntegerv(GL_FRAMEBUFFER_BINDING, &s.fbo);
    gl.GetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &s.read_fbo);
    gl.GetIntegerv(GL_ACTIVE_TEXTURE, &s.active);
    gl.GetIntegerv(GL_ARRAY_BUFFER_BINDING, &s.array_buf);
    gl.GetIntegerv(GL_VIEWPORT, s.viewport);
    gl.GetIntegerv(GL_SCISSOR_BOX, s.scissor);
    gl.GetIntegerv(GL_BLEND_SRC_RGB, &s.src_rgb);
    gl.GetIntegerv(GL_BLEND_DST_RGB, &s.dst_rgb);
    gl.GetIntegerv(GL_BLEND_SRC_ALPHA, &s.src_a);
    gl.GetIntegerv(GL_BLEND_DST_ALPHA, &s.dst_a);
    gl.GetIntegerv(GL_BLEND_EQUATION_RGB, &s.eq_rgb);
    gl.GetIntegerv(GL_BLEND_EQUATION_ALPHA, &s.eq_a);
    s.scissor_on = gl.IsEnabled(GL_SCISSOR_TEST);
    s.blend_on = gl.IsEnabled(GL_BLEND);
    s.cull_on = gl.IsEnabled(GL_CULL_FACE);
    s.depth_on = gl.IsEnabled(GL_DEPTH_TEST);
    s.stencil_on = gl.IsEnabled(GL_STENCIL_TEST);
    for (int u = 0; u < 2; ++u) {
        gl.ActiveTexture(GL_TEXTURE0 + u);
        gl.GetIntegerv(GL_TEXTURE_BINDING_2D, &s.tex[u]);
    }
    gl.ActiveTexture(GL_TEXTURE0);
    s.tex2d_on = gl.IsEnabled(GL_TEXTURE_2D);
    return s;
}

void set_cap(GLenum cap, GLboolean on) { on ? gl.Enable(cap) : gl.Disable(cap); }

void restore_state(const State& s) {
    gl.UseProgram(static_cast<GLuint>(s.prog));
    gl.BindFramebuffer(GL_FRAMEBUFFER, static_cast<GLuint>(s.fbo));
    if (s.read_fbo != s.fbo) gl.BindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(s.read_fbo));
    for (int u = 1; u >= 0; --u) {
        gl.ActiveTexture(GL_TEXTURE0 + u);
        gl.BindTexture(GL_TEXTURE_2D, static_cast<GLuint>(s.tex[u]));
    }
    set_cap(GL_TEXTURE_2D, s.tex2d_on);
    gl.ActiveTexture(static_cast<GLenum>(s.active));
    if (gl.BindBuffer) gl.BindBuffer(GL_ARRAY_BUFFER, static_cast<GLuint>(s.array_buf));
    gl.Viewport(s.viewport[0], s.viewport[1], s.viewport[2], s.viewport[3]);
    gl.Scissor(s.scissor[0], s.scissor[1], s.scissor[2], s.scissor[3]);
    gl.BlendFuncSeparate(s.src_rgb, s.dst_rgb, s.src_a, s.dst_a);
    gl.BlendEquationSeparate(s.eq_rgb, s.eq_a);
    set_cap(GL_SCISSOR_TEST, s.scissor_on);
    set_cap(GL_BLEND, s.blend_on);
    set_cap(GL_CULL_FACE, s.cull_on);
    set_cap(GL_DEPTH_TEST, s.depth_on);
    set_cap(GL_STENCIL_TEST, s.stencil_on);
}

// Flushes SDL's queue, saves the state, and restores it when the scope ends.
class Scope {
  public:
    explicit Scope(SDL_Renderer* ren) : s_((SDL_RenderFlush(ren), save_state())) {}
    ~Scope() { restore_state(s_); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    const State& state() const { return s_; }

  private:
    State s_;
};

// The render output SDL draws into now (a target texture or the window), and whether GL's rows
// run top-down there: SDL draws into a target texture unflipped, into the window flipped.
struct Output {
    int w = 0, h = 0;
    bool top_down = false;
};

Output output_of(SDL_Renderer* ren) {
    Output o;
    if (SDL_Texture* t = SDL_GetRenderTarget(ren)) {
        SDL_QueryTexture(t, nullptr, nullptr, &o.w, &o.h);
        o.top_down = true;
    } else {
        SDL_GetRendererOutputSize(ren, &o.w, &o.h);
    }
    return o;
}

// A quad over the whole viewport; v runs 0..1 bottom to top, or top to bottom with flip_v.
void quad(bool flip_v = false) {
    const float v0 = flip_v ? 1.f : 0.f, v1 = flip_v ? 0.f : 1.f;
    gl.Begin(GL_QUADS);
    gl.TexCoord2f(0, v0); gl.Vertex2f(-1, -1);
    gl.TexCoord2f(1, v0); gl.Vertex2f(1, -1);
    gl.TexCoord2f(1, v1); gl.Vertex2f(1, 1);
    gl.TexCoord2f(0, v1); gl.Vertex2f(-1, 1);
    gl.End();
}

GLuint make_texture(int w, int h, bool zero) {
    GLuint t = 0;
    gl.GenTextures(1, &t);
    gl.BindTexture(GL_TEXTURE_2D, t);
    gl.TexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    gl.TexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    gl.TexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    gl.TexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    // Histories must start black; glClear would change SDL's cached clear colour.
    std::vector<uint8_t> black;
    if (zero) black.assign(static_cast<size_t>(w) * h * 4, 0);
    // SDL leaves its last upload's row length set (the width of the texture it updated last);
    // read with it, the black rows would run past their end.
    GLint row = 0, align = 4;
    if (zero && gl.PixelStorei) {
        gl.GetIntegerv(GL_UNPACK_ROW_LENGTH, &row);
        gl.GetIntegerv(GL_UNPACK_ALIGNMENT, &align);
        gl.PixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        gl.PixelStorei(GL_UNPACK_ALIGNMENT, 4);
    }
    gl.TexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, zero ? black.data() : nullptr);
    if (zero && gl.PixelStorei) {
        gl.PixelStorei(GL_UNPACK_ROW_LENGTH, row);
        gl.PixelStorei(GL_UNPACK_ALIGNMENT, align);
    }
    return t;
}

// ---------------------------------------------------------------------------------------------
// 3. Programs. Uniform locations are looked up once after linking.

const char* g_broken = nullptr; // test hook: the program whose source is replaced by a broken one
bool g_plain_float = false;
bool g_always_render = false;

struct U { GLint hi, lo, half, c, res, kind, iter, ss, shift, light, pix, deep, one, pal; };
struct U3 { GLint res, kind, cam, fwd, right, up, param, glow, flash, shift, time, snd, seed, pal, steps; };
struct UP { GLint tex, res, fx, fx2, morph, mix, time, amt, c, lens, lr, snd, drops; };
struct UE { GLint cur, prev, c, px, asp, zoom, rot, swirl, decay, gain, thresh, hue; };
struct B { GLint tex, alpha, mod; };

GLuint g_prog = 0, g_blit = 0, g_prog3d = 0, g_post = 0, g_echo = 0;
U g_u{};
U3 g_u3{};
UP g_up{};
UE g_ue{};
B g_b{};

GLuint compile(GLenum type, const char* src) {
    GLuint sh = gl.CreateShader(type);
    gl.ShaderSource(sh, 1, &src, nullptr);
    gl.CompileShader(sh);
    GLint ok = 0;
    gl.GetShaderiv(sh, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        char log[1024] = {};
        gl.GetShaderInfoLog(sh, sizeof log, nullptr, log);
        logger::warn(std::string("GPU fractals: shader does not compile: ") + log);
        gl.DeleteShader(sh);
        return 0;
    }
    return sh;
}

// Compiles and links one fragment program with the shared vertex shader; 0 on failure.
GLuint link(const char* name, const char* frag) {
    if (g_broken && std::strcmp(g_broken, name) == 0) frag = "#version 120\nvoid main() { gl_FragColor = undefined_value; }\n";
    const GLuint vs = compile(GL_VERTEX_SHADER, glsl::kVertex);
    if (!vs) return 0;
    const GLuint fs = compile(GL_FRAGMENT_SHADER, frag);
    if (!fs) {
        gl.DeleteShader(vs);
        return 0;
    }
    GLuint prog = gl.CreateProgram();
    gl.AttachShader(prog, vs);
    gl.AttachShader(prog, fs);
    gl.LinkProgram(prog);
    gl.DeleteShader(vs); // flagged; freed with the program
    gl.DeleteShader(fs);
    GLint ok = 0;
    gl.GetProgramiv(prog, GL_LINK_STATUS, &ok);
    if (!ok) {
        char log[1024] = {};
        gl.GetProgramInfoLog(prog, sizeof log, nullptr, log);
        logger::warn(std::string("GPU fractals: shader does not link: ") + log);
        gl.DeleteProgram(prog);
        return 0;
    }
    return prog;
}

// A program made for one kind (and the like): the defines go after the version line, so that the
// compiler drops the code of every other kind. Software GL runs every branch of a shader, so the
// general program costs the sum of all kinds there. 0 when it does not build; the caller then
// uses the general program.
GLuint specialised(const char* name, const char* frag, const std::string& defines) {
    const char* body = std::strchr(frag, '\n');
    if (!body) return 0;
    const std::string src = std::string(frag, body + 1) + defines + (body + 1);
    return link(name, src.c_str());
}

U lookup_u(GLuint p) {
    return {gl.GetUniformLocation(p, "u_hi"), gl.GetUniformLocation(p, "u_lo"), gl.GetUniformLocation(p, "u_half"),
            gl.GetUniformLocation(p, "u_c"), gl.GetUniformLocation(p, "u_res"), gl.GetUniformLocation(p, "u_kind"),
            gl.GetUniformLocation(p, "u_iter"), gl.GetUniformLocation(p, "u_ss"), gl.GetUniformLocation(p, "u_shift"),
            gl.GetUniformLocation(p, "u_light"), gl.GetUniformLocation(p, "u_pix"), gl.GetUniformLocation(p, "u_deep"),
            gl.GetUniformLocation(p, "u_one"), gl.GetUniformLocation(p, "u_pal")};
}
U3 lookup_u3(GLuint k) {
    return {gl.GetUniformLocation(k, "u_res"), gl.GetUniformLocation(k, "u_kind"), gl.GetUniformLocation(k, "u_cam"),
            gl.GetUniformLocation(k, "u_fwd"), gl.GetUniformLocation(k, "u_right"), gl.GetUniformLocation(k, "u_up"),
            gl.GetUniformLocation(k, "u_param"), gl.GetUniformLocation(k, "u_glow"), gl.GetUniformLocation(k, "u_flash"),
            gl.GetUniformLocation(k, "u_shift"), gl.GetUniformLocation(k, "u_time"), gl.GetUniformLocation(k, "u_snd"),
            gl.GetUniformLocation(k, "u_seed"), gl.GetUniformLocation(k, "u_pal"), gl.GetUniformLocation(k, "u_steps")};
}
UP lookup_up(GLuint q) {
    return {gl.GetUniformLocation(q, "u_tex"), gl.GetUniformLocation(q, "u_res"), gl.GetUniformLocation(q, "u_fx"),
            gl.GetUniformLocation(q, "u_fx2"), gl.GetUniformLocation(q, "u_morph"), gl.GetUniformLocation(q, "u_mix"),
            gl.GetUniformLocation(q, "u_time"), gl.GetUniformLocation(q, "u_amt"), gl.GetUniformLocation(q, "u_c"),
            gl.GetUniformLocation(q, "u_lens"), gl.GetUniformLocation(q, "u_lr"), gl.GetUniformLocation(q, "u_snd"),
            gl.GetUniformLocation(q, "u_drops")};
}

// Programs made for one kind, built on first use; tried once each (failed = the general one).
struct Variant {
    GLuint prog = 0;
    bool tried = false;
};
Variant g_v2d[8];   // 2D kind + 4 for deep views
U g_v2d_u[8];
Variant g_v3d[23];  // shader kinds 0..22
U3 g_v3d_u[23];
Variant g_vpost[19]; // post effects 0..17, 18 for the kaleidoscope of all other numbers
UP g_vpost_u[19];

void drop_variants() {
    for (Variant* list : {g_v2d, g_v3d, g_vpost}) {
        const size_t n = list == g_v2d ? 8 : (list == g_v3d ? 23 : 19);
        for (size_t i = 0; i < n; ++i) {
            if (list[i].prog && gl.DeleteProgram) gl.DeleteProgram(list[i].prog);
            list[i] = Variant{};
        }
    }
}

void upload_palette(GLint loc, const uint32_t* palette) {
    float rgb[64 * 3];
    for (int i = 0; i < 64; ++i) {
        const uint32_t c = palette ? palette[i * 4] : 0xFF808080u | (static_cast<uint32_t>(i * 4) * 0x010101u);
        rgb[i * 3 + 0] = ((c >> 16) & 255) / 255.f;
        rgb[i * 3 + 1] = ((c >> 8) & 255) / 255.f;
        rgb[i * 3 + 2] = (c & 255) / 255.f;
    }
    gl.Uniform3fv(loc, 64, rgb);
}

// ---------------------------------------------------------------------------------------------
// 4. Fractal target and draw.

bool g_avail = false;
int g_quality = 0;
// At the governor's light levels a software rasteriser still needs most of a second's budget
// for one ray-marched picture: the pictures are then rendered smaller, the rays give up
// sooner, and an unchanged target is rendered in two halves on alternate frames, so that each
// frame carries half the work.
bool g_light = false;
int g_band = 0; // the half the next light-load render draws
GLuint g_fbo = 0, g_tex = 0;
int g_fw = 0, g_fh = 0;
uint64_t g_last_render = 0; // ms; 0 = never
bool g_last_3d = false;
int g_last_kind = -1; // the kind of the picture in the target: two programs fading share it

// Makes the fractal target w x h and leaves its framebuffer bound; false when incomplete.
bool fractal_target(int w, int h) {
    if (!g_fbo) gl.GenFramebuffers(1, &g_fbo);
    gl.BindFramebuffer(GL_FRAMEBUFFER, g_fbo);
    if (!g_tex || w != g_fw || h != g_fh) {
        if (g_tex) gl.DeleteTextures(1, &g_tex);
        g_tex = make_texture(w, h, false);
        g_fw = w, g_fh = h;
        g_last_render = 0;
        gl.FramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, g_tex, 0);
    }
    return gl.CheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
}

// Whether a view is too deep for plain float iteration: below about 4 float steps at the centre
// per pixel, runs of pixels would share one orbit.
bool deep_view(const Params& p) {
    if (p.kind == 3 || g_plain_float) return false;
    const double pix = 2 * p.hw / std::max(g_fw, 1);
    const double step = std::ldexp(1.0, std::ilogb(std::max({std::fabs(p.cx), std::fabs(p.cy), 1e-30})) - 23);
    return pix < 4 * step;
}

void set_2d_uniforms(const Params& p, const U& u) {
    // The centre split into a float and its rounding remainder: the shader adds the pixel offset
    // to the remainder first, then the float.
    const float hx = static_cast<float>(p.cx), hy = static_cast<float>(p.cy);
    float lx = static_cast<float>(p.cx - hx), ly = static_cast<float>(p.cy - hy);
    const double pix = 2 * p.hw / g_fw;
    const bool deep = deep_view(p);
    if (g_plain_float) lx = ly = 0;
    gl.Uniform2f(u.hi, hx, hy);
    gl.Uniform2f(u.lo, lx, ly);
    gl.Uniform2f(u.half, static_cast<float>(p.hw), static_cast<float>(p.hh));
    gl.Uniform2f(u.c, p.c[0], p.c[1]);
    gl.Uniform2f(u.res, static_cast<float>(g_fw), static_cast<float>(g_fh));
    gl.Uniform1i(u.kind, std::clamp(p.kind, 0, 3));
    gl.Uniform1i(u.iter, std::clamp(p.iter, 8, 1024));
    gl.Uniform1i(u.ss, std::clamp(p.ss, 1, 4));
    gl.Uniform1f(u.shift, p.pal_shift);
    gl.Uniform1f(u.light, p.light);
    gl.Uniform1f(u.pix, static_cast<float>(pix));
    gl.Uniform1f(u.deep, deep ? 1.f : 0.f);
    gl.Uniform1f(u.one, 1.f);
    upload_palette(u.pal, p.palette);
}

void set_3d_uniforms(const Params& p, const U3& u) {
    gl.Uniform2f(u.res, static_cast<float>(g_fw), static_cast<float>(g_fh));
    gl.Uniform1i(u.kind, std::clamp(p.shader - 20, 0, 22));
    gl.Uniform3f(u.cam, p.cam[0], p.cam[1], p.cam[2]);
    gl.Uniform3f(u.fwd, p.fwd[0], p.fwd[1], p.fwd[2]);
    gl.Uniform3f(u.right, p.right[0], p.right[1], p.right[2]);
    gl.Uniform3f(u.up, p.up[0], p.up[1], p.up[2]);
    gl.Uniform1f(u.param, p.param);
    gl.Uniform1f(u.glow, p.glow);
    gl.Uniform1f(u.flash, p.flash);
    gl.Uniform1f(u.shift, p.shift);
    gl.Uniform1f(u.time, p.time);
    gl.Uniform3f(u.snd, p.bands[0], p.bands[1], p.bands[2]);
    gl.Uniform2f(u.seed, p.seed[0], p.seed[1]);
    if (u.steps >= 0) gl.Uniform1f(u.steps, g_light ? 72.0f : 120.0f);
    upload_palette(u.pal, p.palette);
}

// Query of the pending GPU timer; the GPU work of a draw lies between frame_begin and frame_end.

// ---------------------------------------------------------------------------------------------
// 5. Post effects.

GLuint g_post_tex = 0;
int g_post_w = 0, g_post_h = 0;
bool g_have_u4fv = false;
bool g_tried_u4fv = false;

// Copies the current output (framebuffer `out`) into the full-size post texture, bound to unit 0
// on return with `out` bound again. A framebuffer blit where there is one: software GL copies
// far faster that way than with glCopyTexSubImage2D.
GLuint g_post_fbo = 0;
void copy_output(const Output& o, GLuint out) {
    if (!g_post_tex || g_post_w != o.w || g_post_h != o.h) {
        if (g_post_tex) gl.DeleteTextures(1, &g_post_tex);
        g_post_tex = make_texture(o.w, o.h, false);
        g_post_w = o.w, g_post_h = o.h;
        if (g_post_fbo) gl.DeleteFramebuffers(1, &g_post_fbo);
        g_post_fbo = 0;
    }
    bool copied = false;
    if (gl.BlitFramebuffer) {
        if (!g_post_fbo) {
            gl.GenFramebuffers(1, &g_post_fbo);
            gl.BindFramebuffer(GL_FRAMEBUFFER, g_post_fbo);
            gl.FramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, g_post_tex, 0);
        }
        gl.BindFramebuffer(GL_FRAMEBUFFER, g_post_fbo);
        if (gl.CheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE) {
            gl.BindFramebuffer(GL_READ_FRAMEBUFFER, out);
            gl.BlitFramebuffer(0, 0, o.w, o.h, 0, 0, o.w, o.h, GL_COLOR_BUFFER_BIT, GL_NEAREST);
            copied = true;
        }
        gl.BindFramebuffer(GL_FRAMEBUFFER, out);
    }
    gl.ActiveTexture(GL_TEXTURE0);
    gl.BindTexture(GL_TEXTURE_2D, g_post_tex);
    if (!copied) gl.CopyTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 0, 0, o.w, o.h);
}

// A pixel position of the output as texture coordinates of a copy of it.
void to_uv(const Output& o, float x, float y, float* u, float* v) {
    *u = x / static_cast<float>(o.w);
    *v = o.top_down ? y / static_cast<float>(o.h) : 1 - y / static_cast<float>(o.h);
}

// ---------------------------------------------------------------------------------------------
// 6. Echo: three textures, two histories used in turn and the capture of the output.

GLuint g_echo_fbo = 0;
GLuint g_echo_tex[3] = {};
int g_echo_w = 0, g_echo_h = 0;
int g_echo_cur = -1;

void drop_echo() {
    if (g_echo_tex[0]) gl.DeleteTextures(3, g_echo_tex);
    std::fill(std::begin(g_echo_tex), std::end(g_echo_tex), 0u);
    if (g_echo_fbo) gl.DeleteFramebuffers(1, &g_echo_fbo);
    g_echo_fbo = 0;
    g_echo_w = g_echo_h = 0;
    g_echo_cur = -1;
}

// ---------------------------------------------------------------------------------------------
// 7. Timing: four timer queries in turn, or glFinish once a second.

bool g_queries = false;
GLuint g_query[4] = {};
bool g_pending[4] = {};
int g_qi = 0;
bool g_query_open = false;
bool g_finish_timing = false;
uint64_t g_finish_at = 0;   // performance counter at frame_begin, 0 when this frame is not timed
uint64_t g_next_finish = 0; // when the next frame may be timed (ms)
double g_acc_ms = 0;
int g_acc_n = 0;

// ---------------------------------------------------------------------------------------------

bool g_prog_ok = false; // the 2D and blit programs and their target work

} // namespace

// ---------------------------------------------------------------------------------------------
// 4. Fractal draw.

bool draw(SDL_Renderer* ren, const Params& p) {
    if (!g_avail || !ren) return false;
    if (p.w < 2 || p.h < 2 || p.alpha <= 0.003f) return true;
    const bool is3d = p.shader >= 0;
    if (is3d && !g_prog3d) return false;
    static const float k2d[3] = {0.7f, 0.55f, 0.42f}, k3d[3] = {0.5f, 0.4f, 0.3f};
    const float f = g_light && is3d ? 0.25f : (is3d ? k3d : k2d)[g_quality];
    int tw = std::clamp(static_cast<int>(p.w * f), 64, 1600);
    int th = std::clamp(static_cast<int>(p.h * f), 64, 1600);
    // A layer that breathes with the music asks for a slightly other size every frame: within
    // an eighth of the target's size (the same shape) the target stays, stretched a little by the
    // copy, rather than being made anew and rendered whole each frame.
    if (g_fw > 0 && g_fh > 0 && std::abs(tw - g_fw) * 8 <= g_fw && std::abs(th - g_fh) * 8 <= g_fh &&
        std::abs(tw * g_fh - th * g_fw) * 50 <= g_fw * g_fh)
        tw = g_fw, th = g_fh;
    const Output o = output_of(ren);
    Scope scope(ren);
    const int kind = is3d ? 100 + p.shader : p.kind;
    const bool same = tw == g_fw && th == g_fh && is3d == g_last_3d && kind == g_last_kind;
    if (!fractal_target(tw, th)) return false;
    const uint64_t now = SDL_GetTicks64();
    if (!(same && g_last_render && now - g_last_render < 30 && !g_always_render)) {
        gl.Viewport(0, 0, tw, th);
        gl.Disable(GL_SCISSOR_TEST);
        // A target that holds a whole picture of this kind is renewed half by half at the
        // light levels; any other starts with a whole picture.
        if (g_light && same && g_last_render) {
            const int half = th / 2;
            gl.Enable(GL_SCISSOR_TEST);
            gl.Scissor(0, g_band ? half : 0, tw, g_band ? th - half : half);
            g_band ^= 1;
        }
        gl.Disable(GL_BLEND);
        gl.Disable(GL_CULL_FACE);
        gl.Disable(GL_DEPTH_TEST);
        gl.Disable(GL_STENCIL_TEST);
        if (is3d) {
            const int k = std::clamp(p.shader - 20, 0, 22);
            Variant& v = g_v3d[k];
            if (!v.tried) {
                v.tried = true;
                v.prog = specialised("3d-kinds", glsl::kKinds3d, "#define KIND " + std::to_string(k) + "\n");
                if (v.prog) g_v3d_u[k] = lookup_u3(v.prog);
            }
            // A kind the driver refuses fails the draw: the general program runs every kind's
            // branches for every pixel, far too slow to stand in for it.
            if (!v.prog) return false;
            gl.UseProgram(v.prog);
            set_3d_uniforms(p, v.prog ? g_v3d_u[k] : g_u3);
        } else {
            const int k = std::clamp(p.kind, 0, 3) + (deep_view(p) ? 4 : 0);
            Variant& v = g_v2d[k];
            if (!v.tried) {
                v.tried = true;
                v.prog = specialised("2d", glsl::kFractal2d,
                                     "#define KIND " + std::to_string(k % 4) + "\n#define DEEP " + std::to_string(k / 4) + "\n");
                if (v.prog) g_v2d_u[k] = lookup_u(v.prog);
            }
            gl.UseProgram(v.prog ? v.prog : g_prog);
            set_2d_uniforms(p, v.prog ? g_v2d_u[k] : g_u);
        }
        quad();
        g_last_render = now;
        g_last_3d = is3d;
        g_last_kind = kind;
        const State& st = scope.state();
        gl.Scissor(st.scissor[0], st.scissor[1], st.scissor[2], st.scissor[3]);
        set_cap(GL_SCISSOR_TEST, st.scissor_on);
    }
    // Onto the destination in the output; SDL's clip (scissor) stays as SDL set it.
    gl.BindFramebuffer(GL_FRAMEBUFFER, static_cast<GLuint>(scope.state().fbo));
    const int vx = static_cast<int>(std::lround(p.x)), vw = static_cast<int>(std::lround(p.w));
    const int vh = static_cast<int>(std::lround(p.h));
    const int vy = o.top_down ? static_cast<int>(std::lround(p.y)) : o.h - static_cast<int>(std::lround(p.y)) - vh;
    gl.Viewport(vx, vy, vw, vh);
    gl.Enable(GL_BLEND);
    gl.BlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    gl.BlendEquationSeparate(GL_FUNC_ADD, GL_FUNC_ADD);
    gl.UseProgram(g_blit);
    gl.ActiveTexture(GL_TEXTURE0);
    gl.BindTexture(GL_TEXTURE_2D, g_tex);
    gl.Uniform1i(g_b.tex, 0);
    gl.Uniform1f(g_b.alpha, std::clamp(p.alpha, 0.f, 1.f));
    gl.Uniform3f(g_b.mod, ((p.tint >> 16) & 255) / 255.f, ((p.tint >> 8) & 255) / 255.f, (p.tint & 255) / 255.f);
    quad(o.top_down); // the picture's top row to the destination's top
    return true;
}

// ---------------------------------------------------------------------------------------------
// 5. Post effects.

bool post(SDL_Renderer* ren, const PostParams& p) {
    if (!g_avail || !g_post || !gl.CopyTexSubImage2D || !ren) return false;
    if (p.fx < 0) return true;
    const Output o = output_of(ren);
    if (o.w < 2 || o.h < 2) return true;
    Scope scope(ren);
    if (!load_once_u4fv()) return false;
    copy_output(o, static_cast<GLuint>(scope.state().fbo));
    gl.Viewport(0, 0, o.w, o.h);
    gl.Disable(GL_BLEND);
    gl.Disable(GL_SCISSOR_TEST);
    UP up = g_up;
    if (p.morph <= 0.003f) {
        const int k = p.fx <= 17 ? p.fx : 18;
        Variant& var = g_vpost[k];
        if (!var.tried) {
            var.tried = true;
            var.prog = specialised("post", glsl::kPost, "#define FX " + std::to_string(k == 18 ? 4 : k) + "\n");
            if (var.prog) g_vpost_u[k] = lookup_up(var.prog);
        }
        if (var.prog) up = g_vpost_u[k];
        gl.UseProgram(var.prog ? var.prog : g_post);
    } else {
        gl.UseProgram(g_post);
    }
    float u, v;
    gl.Uniform1i(up.tex, 0);
    gl.Uniform2f(up.res, static_cast<float>(o.w), static_cast<float>(o.h));
    gl.Uniform1i(up.fx, p.fx);
    gl.Uniform1i(up.fx2, p.fx2);
    gl.Uniform1f(up.morph, p.morph);
    gl.Uniform1f(up.mix, p.mix);
    gl.Uniform1f(up.time, p.time);
    gl.Uniform1f(up.amt, p.amount);
    to_uv(o, p.cx, p.cy, &u, &v);
    gl.Uniform2f(up.c, u, v);
    to_uv(o, p.lx, p.ly, &u, &v);
    gl.Uniform2f(up.lens, u, v);
    gl.Uniform1f(up.lr, p.lr);
    gl.Uniform3f(up.snd, p.bands[0], p.bands[1], p.bands[2]);
    float drops[16];
    for (int i = 0; i < 4; ++i) {
        to_uv(o, p.drops[i][0], p.drops[i][1], &drops[i * 4], &drops[i * 4 + 1]);
        drops[i * 4 + 2] = p.drops[i][2];
        drops[i * 4 + 3] = p.drops[i][3];
    }
    gl.Uniform4fv(up.drops, 4, drops);
    quad();
    return true;
}

// ---------------------------------------------------------------------------------------------
// 6. Echo.

bool echo(SDL_Renderer* ren, const EchoParams& p) {
    if (!available_echo() || !ren) return false;
    const Output o = output_of(ren);
    if (o.w < 64 || o.h < 64) return true;
    Scope scope(ren);
    const int ew = std::clamp(o.w / (g_quality >= 2 ? 3 : 2), 64, 960);
    const int eh = std::max(32, o.h * ew / o.w);
    if (ew != g_echo_w || eh != g_echo_h || !g_echo_fbo) {
        drop_echo();
        for (GLuint& t : g_echo_tex) t = make_texture(ew, eh, true);
        gl.GenFramebuffers(1, &g_echo_fbo);
        g_echo_w = ew, g_echo_h = eh;
        g_echo_cur = 0;
    }
    const GLuint out_fbo = static_cast<GLuint>(scope.state().fbo);
    gl.Disable(GL_SCISSOR_TEST);
    gl.Disable(GL_BLEND);
    // Capture: scaled down into the capture texture, or a full-size copy.
    GLuint cur_tex = g_echo_tex[2];
    bool full = false;
    gl.BindFramebuffer(GL_FRAMEBUFFER, g_echo_fbo);
    gl.FramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, g_echo_tex[2], 0);
    if (gl.CheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) return false;
    if (gl.BlitFramebuffer) {
        gl.BindFramebuffer(GL_READ_FRAMEBUFFER, out_fbo);
        gl.BindFramebuffer(GL_DRAW_FRAMEBUFFER, g_echo_fbo);
        gl.BlitFramebuffer(0, 0, o.w, o.h, 0, 0, ew, eh, GL_COLOR_BUFFER_BIT, GL_LINEAR);
        gl.BindFramebuffer(GL_FRAMEBUFFER, g_echo_fbo);
    } else {
        gl.BindFramebuffer(GL_FRAMEBUFFER, out_fbo);
        copy_output(o, out_fbo);
        cur_tex = g_post_tex;
        full = true;
        gl.BindFramebuffer(GL_FRAMEBUFFER, g_echo_fbo);
    }
    // Feedback into the other history.
    const int next = 1 - g_echo_cur;
    gl.FramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, g_echo_tex[next], 0);
    if (gl.CheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) return false;
    gl.Viewport(0, 0, ew, eh);
    gl.UseProgram(g_echo);
    gl.ActiveTexture(GL_TEXTURE1);
    gl.BindTexture(GL_TEXTURE_2D, g_echo_tex[g_echo_cur]);
    gl.ActiveTexture(GL_TEXTURE0);
    gl.BindTexture(GL_TEXTURE_2D, cur_tex);
    gl.Uniform1i(g_ue.cur, 0);
    gl.Uniform1i(g_ue.prev, 1);
    float u, v;
    to_uv(o, p.cx, p.cy, &u, &v);
    gl.Uniform2f(g_ue.c, u, v);
    if (full)
        gl.Uniform2f(g_ue.px, 3.f / o.w, 3.f / o.h);
    else
        gl.Uniform2f(g_ue.px, 1.5f / ew, 1.5f / eh);
    gl.Uniform1f(g_ue.asp, static_cast<float>(o.w) / o.h);
    gl.Uniform1f(g_ue.zoom, p.zoom);
    gl.Uniform1f(g_ue.rot, p.rot);
    gl.Uniform1f(g_ue.swirl, p.swirl);
    gl.Uniform1f(g_ue.decay, std::min(p.decay, 0.985f));
    gl.Uniform1f(g_ue.gain, p.gain);
    gl.Uniform1f(g_ue.thresh, p.thresh);
    gl.Uniform1f(g_ue.hue, std::clamp(p.hue, 0.f, 1.f));
    quad();
    g_echo_cur = next;
    // Screen blend of the new history over the output: src·(1 − dst) + dst, at grey = alpha.
    gl.BindFramebuffer(GL_FRAMEBUFFER, out_fbo);
    gl.Viewport(0, 0, o.w, o.h);
    gl.Enable(GL_BLEND);
    gl.BlendFuncSeparate(GL_ONE_MINUS_DST_COLOR, GL_ONE, GL_ZERO, GL_ONE);
    gl.BlendEquationSeparate(GL_FUNC_ADD, GL_FUNC_ADD);
    gl.UseProgram(g_blit);
    gl.BindTexture(GL_TEXTURE_2D, g_echo_tex[g_echo_cur]);
    gl.Uniform1i(g_b.tex, 0);
    const float a = std::clamp(p.alpha, 0.f, 1.f);
    gl.Uniform1f(g_b.alpha, 1.f);
    gl.Uniform3f(g_b.mod, a, a, a);
    quad();
    return true;
}

void reset_echo() {
    g_echo_w = g_echo_h = 0;
}

// ---------------------------------------------------------------------------------------------
// 7. Timing.

void frame_begin(SDL_Renderer* ren) {
    if (!g_avail || !ren) return;
    if (g_queries) {
        for (int i = 0; i < 4; ++i) {
            if (!g_pending[i] || (g_query_open && i == g_qi)) continue;
            GLint ready = 0;
            gl.GetQueryObjectiv(g_query[i], GL_QUERY_RESULT_AVAILABLE, &ready);
            if (!ready) continue;
            GLuint64 ns = 0;
            gl.GetQueryObjectui64v(g_query[i], GL_QUERY_RESULT, &ns);
            g_pending[i] = false;
            const double ms = static_cast<double>(ns) / 1e6;
            if (ms <= 2000) g_acc_ms += ms, ++g_acc_n;
        }
        if (!g_query_open && !g_pending[g_qi]) {
            SDL_RenderFlush(ren);
            gl.BeginQuery(GL_TIME_ELAPSED, g_query[g_qi]);
            g_query_open = true;
        }
    } else if (g_finish_timing) {
        const uint64_t now = SDL_GetTicks64();
        if (now >= g_next_finish) {
            SDL_RenderFlush(ren);
            gl.Finish();
            g_finish_at = SDL_GetPerformanceCounter();
            g_next_finish = now + 1000;
        }
    }
}

void frame_end(SDL_Renderer* ren) {
    if (!g_avail || !ren) return;
    if (g_queries && g_query_open) {
        SDL_RenderFlush(ren);
        gl.EndQuery(GL_TIME_ELAPSED);
        g_pending[g_qi] = true;
        g_query_open = false;
        g_qi = (g_qi + 1) % 4;
    } else if (g_finish_timing && g_finish_at) {
        SDL_RenderFlush(ren);
        gl.Finish();
        g_acc_ms += static_cast<double>(SDL_GetPerformanceCounter() - g_finish_at) * 1000.0 /
                    static_cast<double>(SDL_GetPerformanceFrequency());
        ++g_acc_n;
        g_finish_at = 0;
    }
}

bool take_gpu_time(double* ms, int* n) {
    if (g_acc_n == 0) return false;
    if (ms) *ms = g_acc_ms;
    if (n) *n = g_acc_n;
    g_acc_ms = 0;
    g_acc_n = 0;
    return true;
}

bool load_once_u4fv() {
    if (!g_tried_u4fv) {
        g_tried_u4fv = true;
        g_have_u4fv = fetch(gl.Uniform4fv, "glUniform4fv");
    }
    return g_have_u4fv;
}

// ---------------------------------------------------------------------------------------------
// 8. Init and shutdown.

bool available() { return g_avail; }
bool available3d() { return g_avail && g_prog3d; }
bool available_post() { return g_avail && g_post && gl.CopyTexSubImage2D; }
bool available_echo() { return g_avail && g_echo && g_blit && gl.CopyTexSubImage2D; }
void set_quality(int q) { g_quality = std::clamp(q, 0, 2); }

void set_light_load(bool on) { g_light = on; }

bool init(SDL_Renderer* ren) {
    shutdown();
    SDL_RendererInfo info{};
    if (!ren || SDL_GetRendererInfo(ren, &info) != 0 || !info.name || std::strcmp(info.name, "opengl") != 0) {
        logger::info(std::string("GPU fractals: renderer is ") + (info.name ? info.name : "?") + " - fractals on the CPU");
        return false;
    }
    if (!fetch_all()) {
        logger::warn("GPU fractals: OpenGL functions missing - fractals on the CPU");
        return false;
    }
    {
        Scope scope(ren);
        g_prog = link("2d", glsl::kFractal2d);
        g_blit = link("blit", glsl::kBlit);
        if (g_prog) g_u = lookup_u(g_prog);
        if (g_blit)
            g_b = {gl.GetUniformLocation(g_blit, "u_tex"), gl.GetUniformLocation(g_blit, "u_alpha"),
                   gl.GetUniformLocation(g_blit, "u_mod")};
        fetch(gl.CopyTexSubImage2D, "glCopyTexSubImage2D");
        g_echo = link("echo", glsl::kEcho);
        if (g_echo) {
            const GLuint e = g_echo;
            g_ue = {gl.GetUniformLocation(e, "u_cur"), gl.GetUniformLocation(e, "u_prev"),
                    gl.GetUniformLocation(e, "u_c"), gl.GetUniformLocation(e, "u_px"),
                    gl.GetUniformLocation(e, "u_asp"), gl.GetUniformLocation(e, "u_zoom"),
                    gl.GetUniformLocation(e, "u_rot"), gl.GetUniformLocation(e, "u_swirl"),
                    gl.GetUniformLocation(e, "u_decay"), gl.GetUniformLocation(e, "u_gain"),
                    gl.GetUniformLocation(e, "u_thresh"), gl.GetUniformLocation(e, "u_hue")};
        }
        g_post = link("post", glsl::kPost);
        if (g_post) g_up = lookup_up(g_post);
        g_prog3d = link("3d", glsl::kKinds3d);
        if (g_prog3d) g_u3 = lookup_u3(g_prog3d);
        g_prog_ok = g_prog && g_blit && fractal_target(64, 64);
        if (g_prog && g_blit && !g_prog_ok) logger::warn("GPU fractals: no framebuffer object - fractals on the CPU");
    }
    if (!g_prog_ok) {
        shutdown();
        return false;
    }
    g_avail = true;
    const char* version = reinterpret_cast<const char*>(gl.GetString(GL_VERSION));
    logger::info(std::string("GPU fractals: shader on OpenGL ") + (version ? version : "?"));
    const char* ext = reinterpret_cast<const char*>(gl.GetString(GL_EXTENSIONS));
    int major = 0, minor = 0;
    if (version) std::sscanf(version, "%d.%d", &major, &minor);
    const bool has_ext = ext && (std::strstr(ext, "GL_ARB_timer_query") || std::strstr(ext, "GL_EXT_timer_query"));
    const bool funcs = gl.GenQueries && gl.DeleteQueries && gl.BeginQuery && gl.EndQuery && gl.GetQueryObjectiv &&
                       gl.GetQueryObjectui64v;
    if ((major > 3 || (major == 3 && minor >= 3) || has_ext) && funcs) {
        gl.GenQueries(4, g_query);
        g_queries = true;
        logger::info("GPU timing: timer queries");
    } else if (gl.Finish) {
        g_finish_timing = true;
        logger::info("GPU timing: glFinish once a second");
    } else {
        logger::info("GPU timing: none");
    }
    return true;
}

void shutdown() {
    if (gl.DeleteProgram) {
        if (g_query_open) gl.EndQuery(GL_TIME_ELAPSED);
        if (g_queries) gl.DeleteQueries(4, g_query);
        for (GLuint* p : {&g_prog, &g_blit, &g_prog3d, &g_post, &g_echo})
            if (*p) gl.DeleteProgram(*p), *p = 0;
        if (g_tex) gl.DeleteTextures(1, &g_tex);
        if (g_post_tex) gl.DeleteTextures(1, &g_post_tex);
        if (g_fbo) gl.DeleteFramebuffers(1, &g_fbo);
        if (g_post_fbo) gl.DeleteFramebuffers(1, &g_post_fbo);
        drop_echo();
        drop_variants();
    }
    g_tex = g_post_tex = g_fbo = g_post_fbo = 0;
    g_fw = g_fh = g_post_w = g_post_h = 0;
    g_avail = g_prog_ok = g_queries = g_query_open = g_finish_timing = false;
    std::fill(std::begin(g_query), std::end(g_query), 0u);
    std::fill(std::begin(g_pending), std::end(g_pending), false);
    g_qi = 0;
    g_finish_at = 0;
    g_acc_ms = 0;
    g_acc_n = 0;
    g_last_render = 0;
    g_tried_u4fv = g_have_u4fv = false;
}

namespace test {
void break_program(const char* name) { g_broken = name; }
void plain_float_centre(bool on) { g_plain_float = on; }
void always_render(bool on) { g_always_render = on; }
int echo_current() { return g_echo_cur; }
} // namespace test

} // namespace gpu_fractal
