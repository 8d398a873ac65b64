// The GPU layer of the visualizer: escape-time fractals at full resolution, the shader kinds
// (ray-marched fractals, plasmas, tunnels, figures), whole-window post effects and the feedback
// echo, drawn with "#version 120" shaders in the OpenGL context of SDL's "opengl" renderer.
// Every call flushes SDL's queued drawing, saves the GL state it touches and restores it, so SDL
// keeps drawing correctly afterwards. Without that renderer every call does nothing and returns
// false; the window then draws on the CPU.
//
// Threads: the window thread only (the one that owns the GL context).
#pragma once

#include <cstdint>

struct SDL_Renderer;

namespace gpu_fractal {

// One fractal layer; the payload of the scene's fractal draw.
struct Params {
    int32_t kind = 0;            // 2D kind 0..3: Mandelbrot, Julia, Burning Ship, Newton
    double cx = 0, cy = 0;       // view centre (plane units, full double precision)
    double hw = 1, hh = 1;       // half-width and half-height of the view
    float c[2] = {0, 0};         // Julia constant
    float pal_shift = 0;         // palette shift (palette entries)
    float light = 0.8f;          // light angle (radians)
    int32_t iter = 200;          // iteration limit, 8..1024
    int32_t ss = 1;              // supersamples, 1..4
    const uint32_t* palette = nullptr; // 256 colours 0xAARRGGBB; null draws grey
    float alpha = 1;             // opacity
    uint32_t tint = 0xFFFFFFFF;  // multiplies the picture (0xAARRGGBB, alpha unused)
    float x = 0, y = 0, w = 0, h = 0; // destination in pixels of the current render output
    int32_t shader = -1;         // shader kind 20..42, or -1 for the 2D program
    float cam[3] = {0, 0, -3};   // camera of the ray-marched kinds
    float fwd[3] = {0, 0, 1};
    float right[3] = {1, 0, 0};
    float up[3] = {0, 1, 0};
    float param = 0;             // per-kind shape parameter
    float glow = 0;              // ray glow strength
    float flash = 0;             // beat flash 0..1
    float shift = 0;             // palette shift of the shader kinds
    float time = 0;              // seconds of music clock
    float bands[3] = {0, 0, 0};  // bass, mid, high, smoothed, 0..1
    float seed[2] = {0, 0};      // two random numbers per program, 0..1
};

// A whole-window post effect.
struct PostParams {
    int32_t fx = -1;             // effect 0..17, negative: none
    float time = 0;
    float amount = 0;            // drive
    float cx = 0, cy = 0;        // centre (pixels)
    float lx = 0, ly = 0;        // lens centre (pixels)
    float lr = 0.2f;             // lens radius (share of the output height)
    float mix = 1;               // 0 the unaltered picture .. 1 the effect
    float drops[4][4] = {};      // x, y (pixels), age (s), strength
    int32_t fx2 = -1;            // second effect, blended in by morph
    float morph = 0;
    float bands[3] = {0, 0, 0};
};

// One feedback step.
struct EchoParams {
    float cx = 0, cy = 0;        // centre (pixels)
    float zoom = 1.02f;
    float rot = 0;               // radians per step
    float swirl = 0;
    float decay = 0.92f;         // at most 0.985
    float gain = 1;
    float thresh = 0.3f;
    float hue = 0;               // 0..1, colour rotation toward (g, b, r)
    float alpha = 1;             // strength of the screen blend over the output
};

bool init(SDL_Renderer* ren);
void shutdown();
bool available();
bool available3d();
bool available_post();
bool available_echo();
void set_quality(int q);
// The governor's light levels: smaller ray-marched pictures, shorter rays, and fractal pictures
// renewed half by half on alternate frames.
void set_light_load(bool on);
bool draw(SDL_Renderer* ren, const Params& p);
bool post(SDL_Renderer* ren, const PostParams& p);
bool echo(SDL_Renderer* ren, const EchoParams& p);
void reset_echo();
void frame_begin(SDL_Renderer* ren);
void frame_end(SDL_Renderer* ren);
bool take_gpu_time(double* ms, int* n);
bool load_once_u4fv();

// Hooks for the tests: break one program's source before init ("2d", "blit", "3d", "3d-kinds" (the
// shader kinds' own programs, built on first use), "post",
// "echo"; null mends all), iterate deep views in plain float (to show what the split centre
// buys), and render every draw instead of reusing a picture younger than 30 ms.
namespace test {
void break_program(const char* name);
void plain_float_centre(bool on);
void always_render(bool on);
int echo_current(); // which history holds the newest echo (0 or 1), -1 before the first
} // namespace test

} // namespace gpu_fractal
