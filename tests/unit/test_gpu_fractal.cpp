// The GPU layer drawn for real: SDL's "opengl" renderer on Mesa's software rasteriser through the
// offscreen video driver (no X server). Every program compiles and links; every fractal kind
// draws a real picture, the same one for the same parameters; deep zooms stay sharp where a
// plain float centre shows blocks; post effects and the echo change the picture; SDL's GL state
// and its own drawing survive every call and glGetError stays clean; a broken shader and the
// software renderer make the calls fail softly. LUMAFON_PICTURES=<dir> saves the pictures.
#include "core/logger.h"
#include "scene/gpu_fractal.h"
#include "scene/raster_bg.h"
#include "support/temp_env.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_opengl.h>
#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

// Mesa's GL driver, loaded and unloaded by SDL, leaves its strdup'd and calloc'd strings behind
// (every leak stack ends in the unloaded driver or in GIO, which EGL pulls in; none passes through
// this program's code), so this test runs without the leak check.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

using test_support::ScopedEnv;

constexpr int kW = 256, kH = 192;

struct GlQuery {
    void(APIENTRY* get_integerv)(GLenum, GLint*) = nullptr;
    void(APIENTRY* get_floatv)(GLenum, GLfloat*) = nullptr;
    GLboolean(APIENTRY* is_enabled)(GLenum) = nullptr;
    GLenum(APIENTRY* get_error)() = nullptr;
    void(APIENTRY* active_texture)(GLenum) = nullptr;
};

using Pixels = std::vector<uint32_t>;

std::string log_text();

class GpuFractal : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_env_video = new ScopedEnv("SDL_VIDEODRIVER", "offscreen");
        s_env_display = new ScopedEnv("DISPLAY", nullptr);
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        s_dir = new test_support::TempDir();
        logger::init(s_dir->path(), "gpu");
    }
    static void TearDownTestSuite() {
        SDL_Quit();
        logger::shutdown();
        delete s_dir;
        delete s_env_display;
        delete s_env_video;
    }

    // A hidden window with a renderer of the given driver and a kW x kH render target.
    void open(const char* driver) {
        SDL_SetHint(SDL_HINT_RENDER_DRIVER, driver);
        win_ = SDL_CreateWindow("gpu", 0, 0, kW, kH, SDL_WINDOW_HIDDEN | (std::string(driver) == "opengl" ? SDL_WINDOW_OPENGL : 0));
        ASSERT_NE(win_, nullptr) << SDL_GetError();
        ren_ = SDL_CreateRenderer(win_, -1, std::string(driver) == "software" ? SDL_RENDERER_SOFTWARE : SDL_RENDERER_ACCELERATED);
        ASSERT_NE(ren_, nullptr) << SDL_GetError();
        target_ = SDL_CreateTexture(ren_, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET, kW, kH);
        ASSERT_NE(target_, nullptr) << SDL_GetError();
        SDL_SetRenderTarget(ren_, target_);
        clear();
        gl_.get_integerv = reinterpret_cast<decltype(gl_.get_integerv)>(SDL_GL_GetProcAddress("glGetIntegerv"));
        gl_.get_floatv = reinterpret_cast<decltype(gl_.get_floatv)>(SDL_GL_GetProcAddress("glGetFloatv"));
        gl_.is_enabled = reinterpret_cast<decltype(gl_.is_enabled)>(SDL_GL_GetProcAddress("glIsEnabled"));
        gl_.get_error = reinterpret_cast<decltype(gl_.get_error)>(SDL_GL_GetProcAddress("glGetError"));
        gl_.active_texture = reinterpret_cast<decltype(gl_.active_texture)>(SDL_GL_GetProcAddress("glActiveTexture"));
    }
    void TearDown() override {
        if (HasFailure()) std::printf("%s", log_text().c_str());
        gpu_fractal::shutdown();
        gpu_fractal::test::break_program(nullptr);
        gpu_fractal::test::plain_float_centre(false);
        if (target_) SDL_DestroyTexture(target_);
        if (ren_) SDL_DestroyRenderer(ren_);
        if (win_) SDL_DestroyWindow(win_);
    }

    void clear() {
        SDL_SetRenderDrawColor(ren_, 0, 0, 0, 255);
        SDL_RenderClear(ren_);
    }
    Pixels read() {
        Pixels px(kW * kH);
        EXPECT_EQ(SDL_RenderReadPixels(ren_, nullptr, SDL_PIXELFORMAT_ARGB8888, px.data(), kW * 4), 0) << SDL_GetError();
        return px;
    }
    // Everything SDL caches of the GL state, as numbers.
    std::vector<double> gl_state() {
        std::vector<double> v;
        const GLenum ints[] = {GL_CURRENT_PROGRAM, GL_FRAMEBUFFER_BINDING, GL_READ_FRAMEBUFFER_BINDING, GL_ACTIVE_TEXTURE,
                               GL_ARRAY_BUFFER_BINDING, GL_BLEND_SRC_RGB, GL_BLEND_DST_RGB, GL_BLEND_SRC_ALPHA,
                               GL_BLEND_DST_ALPHA, GL_BLEND_EQUATION_RGB, GL_BLEND_EQUATION_ALPHA};
        for (GLenum e : ints) {
            GLint x = -1;
            gl_.get_integerv(e, &x);
            v.push_back(x);
        }
        GLint box[4];
        for (GLenum e : {GL_VIEWPORT, GL_SCISSOR_BOX}) {
            gl_.get_integerv(e, box);
            v.insert(v.end(), box, box + 4);
        }
        GLfloat f[4];
        for (GLenum e : {GL_COLOR_CLEAR_VALUE, GL_CURRENT_COLOR}) {
            gl_.get_floatv(e, f);
            v.insert(v.end(), f, f + 4);
        }
        GLint active = 0;
        gl_.get_integerv(GL_ACTIVE_TEXTURE, &active);
        for (int u = 0; u < 2; ++u) {
            gl_.active_texture(GL_TEXTURE0 + u);
            GLint t = -1;
            gl_.get_integerv(GL_TEXTURE_BINDING_2D, &t);
            v.push_back(t);
            v.push_back(gl_.is_enabled(GL_TEXTURE_2D));
        }
        gl_.active_texture(static_cast<GLenum>(active));
        for (GLenum cap : {GL_BLEND, GL_SCISSOR_TEST, GL_CULL_FACE, GL_DEPTH_TEST, GL_STENCIL_TEST})
            v.push_back(gl_.is_enabled(cap));
        return v;
    }
    // Runs one GPU call and checks that it succeeded, left SDL's GL state as it found it and
    // raised no GL error.
    template <typename F> void step(const char* what, F call) {
        SDL_RenderFlush(ren_);
        while (gl_.get_error() != GL_NO_ERROR) {
        }
        const auto before = gl_state();
        EXPECT_TRUE(call()) << what;
        EXPECT_EQ(gl_state(), before) << what << ": GL state changed";
        EXPECT_EQ(gl_.get_error(), static_cast<GLenum>(GL_NO_ERROR)) << what;
    }

    SDL_Window* win_ = nullptr;
    SDL_Renderer* ren_ = nullptr;
    SDL_Texture* target_ = nullptr;
    GlQuery gl_;
    static ScopedEnv* s_env_video;
    static ScopedEnv* s_env_display;
    static test_support::TempDir* s_dir;
};
test_support::TempDir* GpuFractal::s_dir = nullptr;
ScopedEnv* GpuFractal::s_env_video = nullptr;
ScopedEnv* GpuFractal::s_env_display = nullptr;

// The run's log so far (printed when a test fails: it holds the shader compiler's messages).
std::string log_text() {
    std::string text;
    if (FILE* f = std::fopen(logger::file_path().c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

size_t distinct(const Pixels& px) { return std::set<uint32_t>(px.begin(), px.end()).size(); }

// Mean absolute channel difference, 0..255.
double mean_diff(const Pixels& a, const Pixels& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        for (int k = 0; k < 3; ++k)
            sum += std::abs(static_cast<int>((a[i] >> (8 * k)) & 255) - static_cast<int>((b[i] >> (8 * k)) & 255));
    return sum / (3.0 * a.size());
}

double mean_level(const Pixels& a) { return mean_diff(a, Pixels(a.size(), 0xFF000000u)); }

// Share of horizontally neighbouring pixels of equal colour.
double flat_share(const Pixels& px) {
    size_t same = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 1; x < kW; ++x) same += px[y * kW + x] == px[y * kW + x - 1];
    return static_cast<double>(same) / (kH * (kW - 1));
}

void save(const Pixels& px, const std::string& name) {
    const char* dir = std::getenv("LUMAFON_PICTURES");
    if (!dir || !*dir) return;
    Pixels copy = px;
    cairo_surface_t* s = cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(copy.data()),
                                                             CAIRO_FORMAT_ARGB32, kW, kH, kW * 4);
    cairo_surface_write_to_png(s, (std::string(dir) + "/" + name + ".png").c_str());
    cairo_surface_destroy(s);
}

// The parameters the visualizer sends for a kind, with a raster sample job's palette.
gpu_fractal::Params params(int kind, int shader, const raster::Job& job) {
    gpu_fractal::Params p;
    p.kind = kind;
    p.shader = shader;
    p.palette = job.palette;
    p.x = 0, p.y = 0, p.w = kW, p.h = kH;
    p.hh = p.hw * kH / kW;
    p.iter = 200, p.ss = 2, p.light = 0.8f;
    p.time = 7.5f, p.bands[0] = 0.6f, p.bands[1] = 0.4f, p.bands[2] = 0.3f;
    p.glow = 1, p.seed[0] = 0.7f, p.seed[1] = 0.3f, p.param = 0.2f;
    switch (kind) {
    case 0: p.cx = -0.7453, p.cy = 0.1127, p.hw = 0.012; break;
    case 1: p.c[0] = -0.8f, p.c[1] = 0.156f, p.hw = 1.4; break;
    case 2: p.cx = -1.7621, p.cy = -0.0284, p.hw = 0.05; break;
    default: p.hw = 1.6; break;
    }
    p.hh = p.hw * kH / kW;
    return p;
}

TEST_F(GpuFractal, EveryKindDrawsItsOwnPictureAndLeavesSdlAsItWas) {
    open("opengl");
    ASSERT_TRUE(gpu_fractal::init(ren_));
    EXPECT_TRUE(gpu_fractal::available());
    EXPECT_TRUE(gpu_fractal::available3d());
    EXPECT_TRUE(gpu_fractal::available_post());
    EXPECT_TRUE(gpu_fractal::available_echo());
    gpu_fractal::test::always_render(true);
    // SDL has state of its own set: a clip, a blend mode, a draw colour.
    SDL_Rect clip{0, 0, kW, kH};
    for (int kind = 0; kind < 4; ++kind) {
        for (int shader : kind == 0 ? std::vector<int>{-1, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34,
                                                        35, 36, 37, 38, 39, 40, 41, 42}
                                    : std::vector<int>{-1}) {
            const raster::Job job = raster::sample_job(shader < 0 ? kind : shader % 4, 8, 8);
            const auto p = params(kind, shader, job);
            const std::string name = shader < 0 ? "kind" + std::to_string(kind) : "shader" + std::to_string(shader);
            Pixels first;
            for (int round = 0; round < 2; ++round) {
                clear();
                SDL_RenderSetClipRect(ren_, &clip);
                SDL_SetRenderDrawBlendMode(ren_, SDL_BLENDMODE_BLEND);
                step(name.c_str(), [&] { return gpu_fractal::draw(ren_, p); });
                // SDL's own drawing still lands where it should after the call.
                SDL_SetRenderDrawColor(ren_, 255, 0, 255, 255);
                const SDL_Rect mark{4, 4, 6, 6};
                SDL_RenderFillRect(ren_, &mark);
                SDL_RenderSetClipRect(ren_, nullptr);
                Pixels px = read();
                EXPECT_EQ(px[6 * kW + 6] & 0xFFFFFF, 0xFF00FFu) << name;
                if (round == 0) {
                    first = px;
                    save(px, name);
                    EXPECT_GT(distinct(px), 40u) << name;
                    EXPECT_GT(mean_level(px), 5) << name << " is nearly black";
                } else {
                    EXPECT_LT(mean_diff(px, first), 0.01) << name << " differs for the same parameters";
                }
            }
        }
    }
    // A half-transparent, tinted layer lands on the destination only, over what was there.
    clear();
    SDL_SetRenderDrawColor(ren_, 0, 0, 200, 255);
    SDL_RenderFillRect(ren_, nullptr);
    const raster::Job job0 = raster::sample_job(0, 8, 8); // the palette lives as long as p
    auto p = params(0, -1, job0);
    p.x = kW / 2.f, p.w = kW / 2.f, p.alpha = 0.5f, p.tint = 0xFFFF0000;
    step("tinted", [&] { return gpu_fractal::draw(ren_, p); });
    const Pixels px = read();
    EXPECT_EQ(px[kH / 2 * kW + 10], 0xFF0000C8u);
    const uint32_t right = px[kH / 2 * kW + kW * 3 / 4];
    EXPECT_EQ(right & 0xFF00, 0u); // the tint keeps only red
    EXPECT_NEAR(static_cast<int>(right & 0xFF), 100, 2);
    // GPU time is measured: a few bracketed frames hand out their milliseconds.
    double ms = 0;
    int n = 0;
    for (int i = 0; i < 20 && n == 0; ++i) {
        gpu_fractal::frame_begin(ren_);
        gpu_fractal::draw(ren_, p);
        gpu_fractal::frame_end(ren_);
        SDL_RenderPresent(ren_);
        gpu_fractal::take_gpu_time(&ms, &n);
    }
    EXPECT_GT(n, 0);
    EXPECT_GT(ms, 0);
    EXPECT_FALSE(gpu_fractal::take_gpu_time(&ms, &n));
}

TEST_F(GpuFractal, DeepZoomStaysSharpWithTheSplitCentre) {
    open("opengl");
    ASSERT_TRUE(gpu_fractal::init(ren_));
    gpu_fractal::test::always_render(true);
    const raster::Job job = raster::sample_job(0, 8, 8);
    auto p = params(0, -1, job);
    p.cx = -0.743643887037151, p.cy = 0.131825904205330; // deep in the seahorse valley
    p.hw = 4e-9, p.hh = p.hw * kH / kW, p.iter = 1024, p.ss = 1;
    Pixels sharp, blocky;
    for (bool plain : {false, true}) {
        gpu_fractal::test::plain_float_centre(plain);
        clear();
        step("deep", [&] { return gpu_fractal::draw(ren_, p); });
        (plain ? blocky : sharp) = read();
    }
    save(sharp, "deep-split");
    save(blocky, "deep-float");
    // A float centre keeps about 7 digits: at this width whole runs of pixels share an orbit.
    EXPECT_GT(flat_share(blocky), 0.9);
    EXPECT_LT(flat_share(sharp), flat_share(blocky) - 0.3);
    EXPECT_GT(distinct(sharp), 4 * distinct(blocky));
}

// At the governor's light levels a changed picture is renewed half by half: the first frame
// after the change shows it in one half only, the next in both; SDL's state survives each step.
TEST_F(GpuFractal, LightLoadRenewsThePictureHalfByHalf) {
    open("opengl");
    ASSERT_TRUE(gpu_fractal::init(ren_));
    gpu_fractal::test::always_render(true);
    gpu_fractal::set_light_load(true);
    const raster::Job job = raster::sample_job(0, 8, 8);
    auto p = params(0, 20, job); // the ray-marched Mandelbulb
    const auto frame = [&](const char* what) {
        clear();
        step(what, [&] { return gpu_fractal::draw(ren_, p); });
        return read();
    };
    const Pixels before = frame("whole");
    save(before, "light-whole");
    EXPECT_GT(mean_level(before), 5) << "nearly black";
    p.shift += 24; // other colours everywhere the rays hit
    const Pixels half = frame("first half"), both = frame("second half");
    const auto rows = [&](const Pixels& a, const Pixels& b, int y0, int y1) {
        const Pixels pa(a.begin() + y0 * kW, a.begin() + y1 * kW), pb(b.begin() + y0 * kW, b.begin() + y1 * kW);
        return mean_diff(pa, pb);
    };
    const double top = rows(before, half, 0, kH / 2 - 4), bottom = rows(before, half, kH / 2 + 4, kH);
    EXPECT_LT(std::min(top, bottom), 0.01) << top << " " << bottom;
    EXPECT_GT(std::max(top, bottom), 2.0) << top << " " << bottom;
    EXPECT_GT(rows(before, both, 0, kH / 2 - 4), 2.0);
    EXPECT_GT(rows(before, both, kH / 2 + 4, kH), 2.0);
    gpu_fractal::set_light_load(false);
}

TEST_F(GpuFractal, PostEffectsAndEchoChangeThePicture) {
    open("opengl");
    ASSERT_TRUE(gpu_fractal::init(ren_));
    gpu_fractal::test::always_render(true);
    const raster::Job job = raster::sample_job(1, 8, 8);
    const auto fractal = params(1, -1, job);
    clear();
    ASSERT_TRUE(gpu_fractal::draw(ren_, fractal));
    const Pixels base = read();
    gpu_fractal::PostParams pp;
    pp.time = 3.2f, pp.amount = 0.8f, pp.cx = kW * 0.45f, pp.cy = kH * 0.55f, pp.lx = kW * 0.3f, pp.ly = kH * 0.4f;
    pp.lr = 0.35f, pp.bands[0] = 0.7f, pp.bands[1] = 0.4f, pp.bands[2] = 0.5f;
    for (int i = 0; i < 4; ++i) {
        pp.drops[i][0] = kW * (0.2f + 0.2f * i), pp.drops[i][1] = kH * 0.5f, pp.drops[i][2] = 0.3f * i, pp.drops[i][3] = 1;
    }
    for (int fx = 0; fx <= 17; ++fx) {
        pp.fx = fx;
        for (float mix : {1.f, 0.f}) {
            pp.mix = mix;
            clear();
            gpu_fractal::draw(ren_, fractal);
            step("post", [&] { return gpu_fractal::post(ren_, pp); });
            const Pixels px = read();
            if (mix > 0) {
                save(px, "post" + std::to_string(fx));
                EXPECT_GT(mean_diff(px, base), 1.0) << "effect " << fx << " left the picture alone";
                EXPECT_GT(mean_level(px), 6) << "effect " << fx << " blacked the picture out";
            } else {
                EXPECT_LT(mean_diff(px, base), 0.6) << "effect " << fx << " at mix 0";
            }
        }
    }
    // Two effects morph: halfway is neither of them.
    pp.mix = 1, pp.fx = 2, pp.fx2 = 14, pp.morph = 0.5f;
    clear();
    gpu_fractal::draw(ren_, fractal);
    step("morph", [&] { return gpu_fractal::post(ren_, pp); });
    EXPECT_GT(mean_diff(read(), base), 1.0);
    pp.fx = -1;
    step("no effect", [&] { return gpu_fractal::post(ren_, pp); });

    // Echo: a bright square leaves trails that outlive it, and the histories take turns.
    gpu_fractal::EchoParams ep;
    ep.cx = kW / 2.f, ep.cy = kH / 2.f, ep.zoom = 1.06f, ep.rot = 0.05f, ep.decay = 0.95f, ep.gain = 1.2f;
    ep.thresh = 0.2f, ep.hue = 0.1f, ep.alpha = 1;
    EXPECT_EQ(gpu_fractal::test::echo_current(), -1);
    // SDL's last upload leaves its row length behind (the window's layers are wider than the
    // echo): the histories are still cleared within their own rows.
    {
        SDL_Texture* wide = SDL_CreateTexture(ren_, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, 4096, 2);
        std::vector<uint32_t> row(4096 * 2, 0xFF000000u);
        ASSERT_TRUE(wide);
        SDL_UpdateTexture(wide, nullptr, row.data(), 4096 * 4);
        SDL_RenderCopy(ren_, wide, nullptr, nullptr);
        SDL_RenderFlush(ren_);
        SDL_DestroyTexture(wide);
    }
    int prev = -2;
    for (int i = 0; i < 6; ++i) {
        clear();
        SDL_SetRenderDrawColor(ren_, 255, 220, 120, 255);
        const SDL_Rect sq{kW / 2 - 12 + 6 * i, kH / 2 - 12, 24, 24};
        SDL_RenderFillRect(ren_, &sq);
        step("echo", [&] { return gpu_fractal::echo(ren_, ep); });
        const int cur = gpu_fractal::test::echo_current();
        EXPECT_TRUE(cur == 0 || cur == 1);
        EXPECT_NE(cur, prev);
        prev = cur;
    }
    save(read(), "echo-trail");
    clear();
    step("echo of black", [&] { return gpu_fractal::echo(ren_, ep); });
    const Pixels trail = read();
    save(trail, "echo-after");
    EXPECT_GT(mean_level(trail), 0.3) << "the history was lost";
    // Forgetting the size clears the histories: an empty scene then stays black.
    gpu_fractal::reset_echo();
    clear();
    step("echo after reset", [&] { return gpu_fractal::echo(ren_, ep); });
    EXPECT_LT(mean_level(read()), 0.05);
}

TEST_F(GpuFractal, BrokenShadersAndTheSoftwareRendererFailSoftly) {
    open("opengl");
    const raster::Job job0 = raster::sample_job(0, 8, 8); // the palette lives as long as p
    auto p = params(0, -1, job0);
    // The 2D program broken: nothing is available, every call says so.
    gpu_fractal::test::break_program("2d");
    EXPECT_FALSE(gpu_fractal::init(ren_));
    EXPECT_FALSE(gpu_fractal::available());
    EXPECT_FALSE(gpu_fractal::draw(ren_, p));
    // Only the post program broken: fractals still draw, post effects are refused.
    gpu_fractal::test::break_program("post");
    ASSERT_TRUE(gpu_fractal::init(ren_));
    EXPECT_FALSE(gpu_fractal::available_post());
    EXPECT_TRUE(gpu_fractal::available_echo());
    gpu_fractal::PostParams pp;
    pp.fx = 3;
    EXPECT_FALSE(gpu_fractal::post(ren_, pp));
    step("draw beside a broken post", [&] { return gpu_fractal::draw(ren_, p); });
    // The shader kinds broken: 2D still draws, a shader kind is refused.
    gpu_fractal::test::break_program("3d");
    ASSERT_TRUE(gpu_fractal::init(ren_));
    EXPECT_FALSE(gpu_fractal::available3d());
    p.shader = 24;
    EXPECT_FALSE(gpu_fractal::draw(ren_, p));
    EXPECT_EQ(gl_.get_error(), static_cast<GLenum>(GL_NO_ERROR));
    // Only a kind's own program refused (it is built on its first draw): that draw fails, with
    // SDL's state intact, and the window then falls back to the CPU.
    gpu_fractal::test::break_program("3d-kinds");
    ASSERT_TRUE(gpu_fractal::init(ren_));
    EXPECT_TRUE(gpu_fractal::available3d());
    const std::vector<double> before = gl_state();
    EXPECT_FALSE(gpu_fractal::draw(ren_, p));
    EXPECT_EQ(gl_state(), before);
    EXPECT_EQ(gl_.get_error(), static_cast<GLenum>(GL_NO_ERROR));
    gpu_fractal::test::break_program(nullptr);
    gpu_fractal::shutdown();
    EXPECT_FALSE(gpu_fractal::available());
    EXPECT_FALSE(gpu_fractal::draw(ren_, p));
}

TEST_F(GpuFractal, SoftwareRendererMakesEveryCallANoOp) {
    open("software");
    EXPECT_FALSE(gpu_fractal::init(ren_));
    clear();
    const Pixels before = read();
    const raster::Job job0 = raster::sample_job(0, 8, 8);
    EXPECT_FALSE(gpu_fractal::draw(ren_, params(0, -1, job0)));
    gpu_fractal::PostParams pp;
    pp.fx = 1;
    EXPECT_FALSE(gpu_fractal::post(ren_, pp));
    EXPECT_FALSE(gpu_fractal::echo(ren_, gpu_fractal::EchoParams{}));
    gpu_fractal::frame_begin(ren_);
    gpu_fractal::frame_end(ren_);
    EXPECT_FALSE(gpu_fractal::take_gpu_time(nullptr, nullptr));
    EXPECT_FALSE(gpu_fractal::available_post() || gpu_fractal::available_echo() || gpu_fractal::available3d());
    EXPECT_EQ(read(), before);
}

} // namespace
