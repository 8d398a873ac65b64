// The GLSL sources of the GPU fractal layer (scene/gpu_fractal_glsl.cpp): constant text only.
#pragma once

namespace gpu_fractal::glsl {

extern const char* const kVertex;    // shared by every program: v_uv and clip-space corners
extern const char* const kFractal2d; // escape-time kinds 0..2 and Newton (kind 3)
extern const char* const kBlit;      // target texture onto the window, tinted, with alpha
extern const char* const kKinds3d;   // shader kinds 0..22: ray-marched fractals and fields
extern const char* const kPost;      // whole-window post effects
extern const char* const kEcho;      // one step of the feedback echo

} // namespace gpu_fractal::glsl
