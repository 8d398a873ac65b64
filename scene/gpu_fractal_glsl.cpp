// The GLSL sources of the GPU fractal layer ("#version 120", one shared vertex shader and five
// fragment programs), compiled into the program's read-only data. Only scene/gpu_fractal
// compiles them, on the window thread.
#include "scene/gpu_fractal_glsl.h"

namespace gpu_fractal::glsl {

// The quad's corners come in clip space, so no matrix of SDL's is involved.
const char* const kVertex = R"(#version 120
varying vec2 v_uv;
void main() {
    v_uv = gl_MultiTexCoord0.xy;
    gl_Position = vec4(gl_Vertex.xy, 0.0, 1.0);
}
)";

// Escape-time fractals. The centre arrives as a float and its rounding remainder; the pixel
// offset is added to the remainder first. Deep views (u_deep) iterate in two-float arithmetic
// (a float and its error term), which keeps about 48 bits of the plane coordinate; u_one is 1
// at run time and keeps the compiler from simplifying the error terms away.
const char* const kFractal2d = R"(#version 120
varying vec2 v_uv;
uniform vec2 u_hi;
uniform vec2 u_lo;
uniform vec2 u_half;
uniform vec2 u_c;
uniform vec2 u_res;
uniform int u_kind;
// SEL is the kind: a constant in the programs made for one kind (so that the compiler drops
// every other kind's code), the uniform in the general program.
#ifdef KIND
#define SEL KIND
#else
#define SEL u_kind
#endif
uniform int u_iter;
uniform int u_ss;
uniform float u_shift;
uniform float u_light;
uniform float u_pix;
uniform float u_deep;
uniform float u_one;
uniform vec3 u_pal[64];
#ifdef DEEP
#define IS_DEEP (DEEP > 0)
#else
#define IS_DEEP (u_deep > 0.5)
#endif

vec3 pal(float x) {
    x = mod(x, 64.0);
    float i = floor(x);
    return mix(u_pal[int(i)], u_pal[int(mod(i + 1.0, 64.0))], x - i);
}

// Two-float arithmetic: vec2(value, error).
vec2 quick_sum(float a, float b) { float s = a + b; return vec2(s, b - (s * u_one - a)); }
vec2 two_sum(float a, float b) {
    float s = a + b;
    float v = s * u_one - a;
    return vec2(s, (a - (s * u_one - v)) + (b - v));
}
vec2 dadd(vec2 a, vec2 b) { vec2 s = two_sum(a.x, b.x); return quick_sum(s.x, s.y + a.y + b.y); }
vec2 split(float a) { float t = a * 4097.0; float hi = t - (t * u_one - a); return vec2(hi, a - hi); }
vec2 dmul(vec2 a, vec2 b) {
    float p = a.x * b.x;
    vec2 sa = split(a.x);
    vec2 sb = split(b.x);
    float e = ((sa.x * sb.x - p) + sa.x * sb.y + sa.y * sb.x) + sa.y * sb.y;
    return quick_sum(p, e + a.x * b.y + a.y * b.x);
}
vec2 dabs(vec2 a) { return a.x < 0.0 ? -a : a; }

// Colour of one sample at offset d (plane units) from the centre.
vec3 sample(vec2 d) {
    if (SEL == 3) {
        vec2 z = u_hi + (u_lo + d);
        int steps = 40;
        int root = -1;
        for (int i = 0; i < 40; i++) {
            vec2 z2 = vec2(z.x * z.x - z.y * z.y, 2.0 * z.x * z.y);
            vec2 z3 = vec2(z2.x * z.x - z2.y * z.y, z2.x * z.y + z2.y * z.x);
            vec2 den = 3.0 * z2;
            float dd = max(dot(den, den), 1e-20);
            vec2 f = z3 - vec2(1.0, 0.0);
            z -= vec2(f.x * den.x + f.y * den.y, f.y * den.x - f.x * den.y) / dd;
            if (length(z - vec2(1.0, 0.0)) < 1e-3) { root = 0; steps = i; break; }
            if (length(z - vec2(-0.5, 0.8660254)) < 1e-3) { root = 1; steps = i; break; }
            if (length(z - vec2(-0.5, -0.8660254)) < 1e-3) { root = 2; steps = i; break; }
        }
        if (root < 0) return vec3(0.0);
        vec3 col = root == 0 ? u_pal[5] : (root == 1 ? u_pal[26] : u_pal[47]);
        return col * clamp(1.15 - float(steps) / 22.0, 0.0, 1.0);
    }
    vec2 zx, zy, cx, cy;
    vec2 px = two_sum(u_hi.x, u_lo.x + d.x);
    vec2 py = two_sum(u_hi.y, u_lo.y + d.y);
    if (SEL == 1) { zx = px; zy = py; cx = vec2(u_c.x, 0.0); cy = vec2(u_c.y, 0.0); }
    else { zx = vec2(0.0); zy = vec2(0.0); cx = px; cy = py; }
    vec2 z = vec2(zx.x, zy.x);
    vec2 dz = SEL == 1 ? vec2(1.0, 0.0) : vec2(0.0);
    float n = 0.0;
    bool escaped = false;
    for (int i = 0; i < 1024; i++) {
        if (i >= u_iter) break;
        if (SEL == 2) { dz = vec2(0.0); }
        else dz = 2.0 * vec2(z.x * dz.x - z.y * dz.y, z.x * dz.y + z.y * dz.x) + (SEL == 0 ? vec2(1.0, 0.0) : vec2(0.0));
        if (IS_DEEP) {
            if (SEL == 2) { zx = dabs(zx); zy = dabs(zy); }
            vec2 x2 = dmul(zx, zx);
            vec2 y2 = dmul(zy, zy);
            vec2 xy = dmul(zx, zy);
            zx = dadd(dadd(x2, -y2), cx);
            zy = dadd(dadd(xy, xy), cy);
            z = vec2(zx.x, zy.x);
        } else {
            if (SEL == 2) z = abs(z);
            z = vec2(z.x * z.x - z.y * z.y, 2.0 * z.x * z.y) + vec2(cx.x, cy.x) + vec2(cx.y, cy.y);
        }
        n += 1.0;
        if (dot(z, z) > 256.0) { escaped = true; break; }
    }
    if (!escaped) return vec3(0.0);
    float r = length(z);
    float lnr = log(r);
    float mu = n + 1.0 - log2(max(lnr / 0.6931472, 1e-9));
    float pos = SEL == 2 ? 14.0 * log2(mu + 1.0) : mu * 3.5;
    vec3 base = pal((pos + u_shift) / 4.0);
    if (SEL == 2) return base * 0.92;
    float dzl = length(dz);
    float dist = r * lnr / max(dzl, 1e-30);
    float edge = 1.0 / (1.0 + 0.35 * dist / max(u_pix, 1e-30));
    vec2 u = dzl > 0.0 ? vec2(z.x * dz.x + z.y * dz.y, z.y * dz.x - z.x * dz.y) / (r * dzl) : vec2(0.0);
    float light = max(0.0, (dot(u, vec2(cos(u_light), sin(u_light))) + 1.5) / 2.5);
    float b = (0.22 + 0.78 * light) * (0.55 + 0.45 * sqrt(edge));
    float l4 = light * light * light * light;
    return base * b + vec3(0.55 * l4 * l4 * l4);
}

void main() {
    vec2 pix = vec2(2.0 * u_half.x / u_res.x, 2.0 * u_half.y / u_res.y);
    vec2 base = (v_uv * 2.0 - 1.0) * u_half;
    vec3 sum = vec3(0.0);
    int n = u_ss > 1 ? min(u_ss, 4) : 1;
    vec2 offs[4];
    offs[0] = vec2(-0.375, -0.125);
    offs[1] = vec2(0.125, -0.375);
    offs[2] = vec2(0.375, 0.125);
    offs[3] = vec2(-0.125, 0.375);
    for (int i = 0; i < 4; i++) {
        if (i >= n) break;
        sum += sample(base + (n > 1 ? offs[i] : vec2(0.0)) * pix);
    }
    gl_FragColor = vec4(clamp(sum / float(n), 0.0, 1.0), 1.0);
}
)";

const char* const kBlit = R"(#version 120
varying vec2 v_uv;
uniform sampler2D u_tex;
uniform float u_alpha;
uniform vec3 u_mod;
void main() { gl_FragColor = vec4(texture2D(u_tex, v_uv).rgb * u_mod, u_alpha); }
)";

// The shader kinds: four ray-marched fractals and nineteen fields.
const char* const kKinds3d = R"(#version 120
varying vec2 v_uv;
uniform vec2 u_res;
uniform int u_kind;
// SEL is the kind: a constant in the programs made for one kind (so that the compiler drops
// every other kind's code), the uniform in the general program.
#ifdef KIND
#define SEL KIND
#else
#define SEL u_kind
#endif
uniform vec3 u_cam;
uniform vec3 u_fwd;
uniform vec3 u_right;
uniform vec3 u_up;
uniform float u_param;
uniform float u_glow;
uniform float u_flash;
uniform float u_shift;
uniform float u_time;
uniform vec3 u_snd;
uniform vec2 u_seed;
uniform vec3 u_pal[64];
uniform float u_steps; // how many steps a ray may take, at most 120

float g_trap;

vec3 pal(float x) {
    x = mod(x, 64.0);
    float i = floor(x);
    return mix(u_pal[int(i)], u_pal[int(mod(i + 1.0, 64.0))], x - i);
}
mat2 rot(float a) { float c = cos(a), s = sin(a); return mat2(c, s, -s, c); }
float hash(vec2 p) { return fract(sin(dot(p, vec2(127.1, 311.7))) * 43758.5453); }
float noise(vec2 p) {
    vec2 i = floor(p), f = fract(p);
    f = f * f * (3.0 - 2.0 * f);
    return mix(mix(hash(i), hash(i + vec2(1.0, 0.0)), f.x), mix(hash(i + vec2(0.0, 1.0)), hash(i + vec2(1.0)), f.x), f.y);
}
float fbm(vec2 p) {
    float s = 0.0, a = 0.5;
    for (int i = 0; i < 5; i++) { s += a * noise(p); p = rot(0.6) * p * 2.03; a *= 0.5; }
    return s;
}

// Distance estimates of the ray-marched kinds; g_trap collects the orbit trap.
float de_bulb(vec3 p) {
    vec3 z = p; float dr = 1.0, r = 0.0; float pw = 8.0 + 2.0 * u_param;
    g_trap = 1e9;
    for (int i = 0; i < 6; i++) {
        r = length(z);
        if (r > 2.0) break;
        float th = acos(clamp(z.z / r, -1.0, 1.0)) * pw, ph = atan(z.y, z.x) * pw;
        dr = pow(r, pw - 1.0) * pw * dr + 1.0;
        z = pow(r, pw) * vec3(sin(th) * cos(ph), sin(th) * sin(ph), cos(th)) + p;
        g_trap = min(g_trap, dot(z, z));
    }
    return 0.5 * log(max(r, 1e-6)) * r / dr;
}
float de_box(vec3 p) {
    vec3 z = p; float dr = 1.0; float sc = -1.8 - 0.3 * u_param;
    g_trap = 1e9;
    for (int i = 0; i < 10; i++) {
        z = clamp(z, -1.0, 1.0) * 2.0 - z;
        float r2 = dot(z, z);
        if (r2 < 0.25) { z *= 4.0; dr *= 4.0; } else if (r2 < 1.0) { z /= r2; dr /= r2; }
        z = z * sc + p; dr = dr * abs(sc) + 1.0;
        g_trap = min(g_trap, r2);
    }
    return length(z) / abs(dr);
}
float de_sponge(vec3 p) {
    float variant = floor(u_seed.x * 6.0);
    float d = max(max(abs(p.x), abs(p.y)), abs(p.z)) - 1.0;
    float s = 1.0;
    g_trap = 1e9;
    for (int i = 0; i < 4; i++) {
        vec3 a = mod(p * s + (variant > 2.5 ? 0.15 * sin(u_time * 0.3) : 0.0), 2.0) - 1.0;
        s *= 3.0;
        vec3 r = abs(1.0 - 3.0 * abs(a));
        float da = max(r.x, r.y), db = max(r.y, r.z), dc = max(r.z, r.x);
        float c = (min(da, min(db, dc)) - 1.0) / s;
        d = max(d, c);
        g_trap = min(g_trap, dot(a, a));
    }
    return d;
}
float de_tetra(vec3 p) {
    float sc = 2.0 + 0.1 * u_param;
    g_trap = 1e9;
    for (int i = 0; i < 10; i++) {
        if (p.x + p.y < 0.0) p.xy = -p.yx;
        if (p.x + p.z < 0.0) p.xz = -p.zx;
        if (p.y + p.z < 0.0) p.zy = -p.yz;
        p = p * sc - vec3(1.0) * (sc - 1.0);
        g_trap = min(g_trap, dot(p, p));
    }
    return length(p) * pow(sc, -10.0);
}
float de(vec3 p) {
    p /= 1.0 + 0.07 * u_snd.x;
    if (SEL == 2) p.xy = rot(0.5 * u_snd.y * sin(0.8 * p.z)) * p.xy;
    else p.xz = rot(0.3 * u_snd.y * p.y) * p.xz;
    float d;
    if (SEL == 0) d = de_bulb(p);
    else if (SEL == 1) d = de_box(p * 3.0) / 3.0;
    else if (SEL == 2) d = de_sponge(p);
    else d = de_tetra(p);
    return d * (1.0 + 0.07 * u_snd.x);
}

vec3 march(vec2 q) {
    vec3 rd = normalize(u_fwd * 1.6 + u_right * q.x + u_up * q.y);
    float t = 0.0, glow = 0.0, d = 1.0;
    int steps = 0;
    bool hit = false;
    for (int i = 0; i < 120; i++) {
        if (float(i) >= u_steps) break;
        d = de(u_cam + rd * t);
        glow += exp(-40.0 * d);
        steps = i;
        if (d < 0.0006 * (1.0 + t)) { hit = true; break; }
        t += 0.72 * d;
        if (t > 30.0) break;
    }
    vec3 bg = pal(u_shift / 4.0 + 20.0) * 0.06;
    vec3 col = bg;
    if (hit) {
        vec3 p = u_cam + rd * t;
        float trap = g_trap;
        vec2 e = vec2(0.002 * (1.0 + t), -0.002 * (1.0 + t));
        vec3 n = normalize(e.xyy * de(p + e.xyy) + e.yyx * de(p + e.yyx) + e.yxy * de(p + e.yxy) + e.xxx * de(p + e.xxx));
        vec3 l = normalize(vec3(0.6, 0.8, -0.4) + 0.3 * u_up);
        float diff = 0.18 + 0.82 * max(dot(n, l), 0.0);
        float shine = 0.6 * pow(max(dot(reflect(-l, n), -rd), 0.0), 24.0);
        float occ = 0.35 + 0.65 * (1.0 - float(steps) / u_steps);
        vec3 base = pal((30.0 * log(1.0 + trap) + u_shift) / 4.0);
        col = base * diff * occ + vec3(shine) * occ + base * u_flash * 0.5;
        if (SEL == 2 && u_seed.x * 6.0 >= 4.0) {
            vec3 a = abs(fract(p * 3.0) - 0.5);
            float edge = smoothstep(0.44, 0.5, max(max(min(a.x, a.y), min(a.y, a.z)), min(a.z, a.x)));
            col += pal(u_shift / 4.0 + 40.0 + 8.0 * u_seed.y) * edge * (1.0 + 2.0 * u_snd.z);
        }
        col = mix(col, bg, 1.0 - exp(-0.09 * t));
    }
    col += pal(u_shift / 4.0 + 40.0) * glow * 0.012 * u_glow;
    return col;
}

vec3 field(vec2 p) {
    float t = u_time, b = u_snd.x, m = u_snd.y, h = u_snd.z, s = u_shift / 4.0;
    int k = SEL;
    if (k == 4) {
        vec2 q = p * (1.0 + 0.4 * b);
        float v = sin(q.x * 3.0 + t) + sin(q.y * 2.3 - 0.7 * t) + sin(length(q - vec2(sin(0.3 * t), cos(0.4 * t))) * 5.0 + m * 3.0 * sin(atan(q.y, q.x) * 3.0 + t))
                + 0.4 * sin(40.0 * q.x * (0.2 + h) + t * 3.0);
        vec3 c = mix(pal(s + v * 6.0), pal(s + 32.0 - v * 5.0), 0.5 + 0.5 * sin(t * 0.2));
        float shadow = 0.65 + 0.35 * sin(q.x * 1.3 + q.y * 0.7 + 0.5 * t);
        return c * shadow + vec3(0.5) * pow(abs(sin(v * 3.0)), 30.0);
    }
    if (k == 5) {
        vec3 c = vec3(0.0);
        for (int i = 0; i < 5; i++) {
            float fi = float(i);
            float y = 0.35 * sin(p.x * (2.0 + fi) + t * (0.5 + 0.2 * fi) + fi) * (1.0 + b) + 0.15 * (fi - 2.0);
            c += pal(s + fi * 11.0) * (0.004 + 0.006 * h) / (abs(p.y - y) + 0.003);
        }
        return c;
    }
    if (k == 6) {
        float r = length(p), a = atan(p.y, p.x);
        float R = 0.32 + 0.08 * b;
        float boil = fbm(vec2(a * 3.0, r * 6.0 - t));
        if (r < R) return mix(pal(s + 10.0), vec3(1.0, 0.95, 0.8), 1.0 - r / R) * (0.8 + 0.5 * boil);
        float corona = exp(-(r - R) * (6.0 - 2.0 * b)) * (0.5 + boil);
        return pal(s + 8.0 + 10.0 * boil) * corona;
    }
    if (k == 7 || k == 8 || k == 10) {
        vec2 q = p + 0.2 * vec2(sin(0.3 * t), cos(0.23 * t)) * (k == 7 ? 1.0 + u_seed.x : 0.3);
        float r = k == 10 ? max(abs(q.x), abs(q.y)) : (k == 8 ? length(q * vec2(1.0, q.y < 0.0 ? 1.6 : 1.0)) : length(q));
        float z = 0.4 / max(r, 0.01) + t * (1.0 + b);
        float a = atan(q.y, q.x) / 6.2831853;
        float grid = max(smoothstep(0.9, 1.0, abs(sin(z * 3.1416))), smoothstep(0.92, 1.0, abs(sin(a * 3.1416 * (k == 10 ? 8.0 : 16.0)))));
        vec3 c = pal(s + z * 2.0) * grid * (1.0 + h);
        return c * min(1.0, r * 2.5) + pal(s + 30.0) * 0.08 * r;
    }
    if (k == 9) {
        vec3 c = pal(s + 36.0) * 0.12 * (0.6 + abs(p.y));
        float horizon = -0.15;
        vec2 q = p;
        float refl = 1.0;
        if (q.y < horizon) { q.y = 2.0 * horizon - q.y + 0.01 * sin(40.0 * q.y + t * 4.0); refl = 0.45; }
        for (int i = 0; i < 8; i++) {
            float fi = float(i);
            float x = fract(sin(fi * 12.9898 + floor(t * 0.4 + fi * 0.37)) * 437.585) * 1.6 - 0.8;
            float y = 0.6 - 1.6 * fract(t * 0.4 + fi * 0.37);
            c += pal(s + fi * 7.0) * (0.006 + 0.004 * h) / (length(q - vec2(x, max(y, horizon))) + 0.004);
        }
        if (p.y < horizon) {
            float ring = sin(60.0 * length(p - vec2(0.0, horizon)) - t * 5.0 * (1.0 + b));
            c = c * refl + pal(s + 50.0) * 0.05 * ring * ring;
        }
        return c;
    }
    if (k >= 11 && k <= 14) {
        vec2 q = p * (1.5 + float(k - 11) * 0.5);
        q += vec2(fbm(q + t * 0.1), fbm(q + vec2(5.2, 1.3) - t * 0.12)) * (1.0 + b);
        float v = fbm(q + t * 0.05 * float(k - 10));
        if (k == 12) v = abs(v - 0.5) * 2.0;
        if (k == 13) v = floor(v * 8.0) / 8.0;
        if (k == 14) v = pow(v, 3.0) * 3.0;
        return pal(s + v * 40.0) * (0.3 + 0.9 * v) * (1.0 + 0.5 * h);
    }
    if (k == 15) {
        vec3 rd = normalize(vec3(p, 1.5));
        vec3 ro = vec3(0.0, 0.0, -3.0);
        float tt = 0.0;
        for (int i = 0; i < 48; i++) {
            vec3 q = ro + rd * tt;
            q.xz = rot(0.4 * t) * q.xz;
            q.xy = rot(0.3 * t) * q.xy;
            float d = min(length(q) - 0.7 - 0.1 * b, length(vec2(length(q.xz) - 1.2, q.y)) - 0.12);
            if (d < 0.002) {
                float sh = 0.5 + 0.5 * dot(normalize(q), normalize(vec3(0.5, 0.8, -0.6)));
                return pal(s + q.y * 10.0) * sh + vec3(pow(sh, 20.0));
            }
            tt += d;
            if (tt > 8.0) break;
        }
        return pal(s + 20.0) * 0.05 * (1.0 - length(p));
    }
    if (k == 16) {
        vec2 q = p * 4.0;
        vec2 hx = vec2(q.x * 1.1547, q.y + q.x * 0.57735);
        vec2 cell = floor(hx), f = fract(hx);
        float face = f.x > f.y ? 0.0 : 1.0;
        float shade = face == 0.0 ? 0.55 : 0.85;
        if (fract((cell.x + cell.y) * 0.5 + 0.1 * floor(t)) > 0.5) shade = 0.35;
        return pal(s + (cell.x + cell.y * 3.0) * 4.0 + t) * shade;
    }
    if (k == 17) {
        float v = sin(p.x * 6.0 + t) * cos(p.y * 5.0 - 0.7 * t) + 0.5 * sin(length(p) * 10.0 - 2.0 * t);
        float band = floor(v * 3.0 + 3.0) / 6.0;
        float dots = step(0.5, length(fract(p * 30.0) - 0.5) + 0.5 * band);
        float ink = smoothstep(0.06, 0.0, abs(fract(v * 3.0) - 0.5) - 0.44);
        return (pal(s + band * 40.0) * 0.8 + 0.2) * (0.7 + 0.3 * dots) * (1.0 - ink);
    }
    if (k == 18) {
        float r = length(p), a = atan(p.y, p.x);
        float v = sin(a * 3.0 + log(r + 1e-3) * (8.0 + 4.0 * m) - t * 3.0);
        return pal(s + r * 20.0 - t * 4.0) * smoothstep(-0.2, 0.2, v) * (0.3 + 0.7 * min(r * 3.0, 1.0));
    }
    if (k == 19) {
        vec2 q = p;
        float refl = 1.0;
        if (q.y < 0.0) { q.y = -q.y + 0.01 * sin(q.y * 80.0 + t * 3.0) * (1.0 + b); refl = 0.6; }
        vec3 sky = mix(pal(s + 20.0), pal(s + 44.0), q.y * 1.5) * (0.6 + 0.4 * fbm(q * vec2(2.0, 8.0) + t * 0.05));
        float hills = 0.12 + 0.08 * fbm(vec2(q.x * 2.0, 0.0));
        if (q.y < hills) sky *= 0.15;
        return sky * refl;
    }
    if (k == 20) {
        vec3 c = vec3(0.0);
        for (int i = 0; i < 3; i++) {
            float fi = float(i);
            vec2 q = rot(fi * 1.0472 + t * 0.1) * p;
            float e = abs(length(q * vec2(1.0, 3.0)) - 0.55);
            c += pal(s + fi * 20.0) * 0.006 / (e + 0.006);
            vec2 el = rot(fi * 1.0472) * vec2(0.55 * cos(t * (1.5 + fi)), 0.55 / 3.0 * sin(t * (1.5 + fi)));
            c += vec3(0.01 * (1.0 + h)) / (length(p - rot(t * 0.1) * el) + 0.01);
        }
        return c + pal(s) * 0.03 / (length(p) + 0.03) * (1.0 + b);
    }
    if (k == 21) {
        float z = 1.0 / max(abs(p.y) + 0.05, 0.05);
        vec2 uv = vec2(p.x * z, z + t * (2.0 + 2.0 * b));
        float lines = smoothstep(0.9, 1.0, max(abs(sin(uv.x * 3.1416)), abs(sin(uv.y * 3.1416))));
        return pal(s + uv.y) * lines * min(1.0, 1.0 / z * 3.0) + pal(s + 32.0) * 0.1 * abs(p.y);
    }
    vec2 q = p * 8.0 + vec2(0.0, t * 0.5);
    vec2 cell = floor(q), f = fract(q) - 0.5;
    float dir = hash(cell + floor(u_seed * 10.0)) > 0.5 ? 1.0 : -1.0;
    float d = abs(abs(f.x + dir * f.y) * 0.7071 - 0.0);
    float wall = smoothstep(0.12, 0.06, d);
    return pal(s + cell.x + cell.y) * wall * (0.6 + 0.6 * h) + pal(s + 40.0) * 0.05;
}

void main() {
    vec2 q = (v_uv * 2.0 - 1.0) * vec2(u_res.x / u_res.y, 1.0);
    vec3 c;
    if (SEL < 4) c = march(q); else c = field(q * 0.5);
    gl_FragColor = vec4(clamp(c + c * u_flash * 0.3, 0.0, 1.0), 1.0);
}
)";

// Whole-window effects on a copy of the window; u_fx2 blends in by u_morph.
const char* const kPost = R"(#version 120
varying vec2 v_uv;
uniform sampler2D u_tex;
uniform vec2 u_res;
uniform int u_fx;
uniform int u_fx2;
#ifdef FX
#define SEL_FX FX
#else
#define SEL_FX u_fx
#endif
uniform float u_morph;
uniform float u_mix;
uniform float u_time;
uniform float u_amt;
uniform vec2 u_c;
uniform vec2 u_lens;
uniform float u_lr;
uniform vec3 u_snd;
uniform vec4 u_drops[4];

vec3 tex(vec2 uv) { return texture2D(u_tex, clamp(uv, 0.0, 1.0)).rgb; }
mat2 rot(float a) { float c = cos(a), s = sin(a); return mat2(c, s, -s, c); }
float hash(vec2 p) { return fract(sin(dot(p, vec2(127.1, 311.7))) * 43758.5453); }
float luma(vec3 c) { return dot(c, vec3(0.299, 0.587, 0.114)); }

vec3 effect(int fx, vec2 uv) {
    float asp = u_res.x / u_res.y;
    vec2 d = (uv - u_c) * vec2(asp, 1.0);
    float r = length(d);
    float t = u_time, a = u_amt;
    if (fx == 0) {
        vec2 off = (uv - 0.5) * (0.01 + 0.02 * a + 0.02 * u_snd.z);
        vec3 c = vec3(tex(uv + off).r, tex(uv).g, tex(uv - off).b);
        float v = smoothstep(0.4, 1.1, length((uv - 0.5) * vec2(asp, 1.0)));
        return mix(c, c * 0.4 + vec3(0.12, 0.0, 0.18), v);
    }
    if (fx == 1) {
        vec2 l = (uv - u_lens) * vec2(asp, 1.0);
        float lr = max(u_lr, 0.01);
        float k = length(l) / lr;
        if (k > 1.0) return tex(uv);
        vec2 src = u_lens + (uv - u_lens) * (0.45 + 0.55 * k * k);
        vec3 c = tex(src);
        float rim = smoothstep(0.88, 1.0, k);
        c = mix(c, vec3(0.5 + 0.5 * sin(t + k * 6.0), 0.4, 0.9), rim * 0.8);
        return c + vec3(0.35) * pow(max(0.0, 1.0 - length(l / lr - vec2(-0.35, 0.35)) * 2.5), 2.0);
    }
    if (fx == 2) {
        float ang = 1.2 * a * exp(-2.2 * r) * sin(0.6 * t);
        vec2 q = rot(ang) * d + 0.003 * sin(vec2(d.y, d.x) * 60.0 + t * 3.0);
        return tex(u_c + q / vec2(asp, 1.0));
    }
    if (fx == 3) {
        vec3 c = vec3(0.0);
        for (int i = 0; i < 12; i++) c += tex(u_c + (uv - u_c) * (1.0 - (0.02 + 0.04 * a) * float(i) / 11.0));
        return c / 12.0;
    }
    if (fx == 5) {
        vec2 w = vec2(sin(uv.y * 30.0 + t * 1.3), cos(uv.x * 26.0 - t * 1.1)) * 0.004;
        float caust = 0.0;
        for (int i = 0; i < 4; i++) {
            vec4 dr = u_drops[i];
            vec2 dd = (uv - dr.xy) * vec2(asp, 1.0);
            float rr = length(dd);
            float ring = sin(rr * 80.0 - dr.z * 12.0) * exp(-rr * 6.0 - dr.z * 1.5) * dr.w;
            w += normalize(dd + 1e-5) * ring * 0.012;
            caust += ring;
        }
        vec3 c = tex(uv + w);
        return c * (0.9 + 0.2 * sin(uv.x * 40.0 + sin(uv.y * 30.0 + t) * 2.0)) + vec3(0.1, 0.15, 0.2) * max(caust, 0.0);
    }
    if (fx == 6) {
        float ph = fract(t * 0.9);
        float wave = exp(-pow((r - ph * 0.9) * 14.0, 2.0)) * (0.5 + a);
        vec2 dir = normalize(d + 1e-5) / vec2(asp, 1.0) * wave * 0.03;
        return vec3(tex(uv - dir * 1.3).r, tex(uv - dir).g, tex(uv - dir * 0.7).b) + vec3(0.15) * wave;
    }
    if (fx == 7) {
        float ang = (2.5 + 1.5 * u_snd.x) * a * exp(-3.0 * r) * sin(0.4 * t);
        return tex(u_c + rot(ang) * d * (1.0 - 0.05 * u_snd.x * exp(-3.0 * r)) / vec2(asp, 1.0));
    }
    if (fx == 8) {
        float ph = fract(t * 0.15);
        vec2 q1 = rot(ph * 1.0472) * d / exp2(ph);
        vec2 q2 = rot((ph - 1.0) * 1.0472) * d / exp2(ph - 1.0);
        vec3 c1 = tex(u_c + q1 / vec2(asp, 1.0));
        vec3 c2 = tex(u_c + q2 / vec2(asp, 1.0));
        return mix(c2, c1, smoothstep(0.0, 1.0, ph));
    }
    if (fx == 9) {
        float z = 0.25 / max(r, 0.02) + t * 0.3;
        float ang = atan(d.y, d.x) / 6.2831853 + 0.5;
        return tex(vec2(ang, fract(z))) * min(1.0, r * 3.0);
    }
    if (fx == 10) {
        vec2 px = 1.5 / u_res;
        float gx = luma(tex(uv + vec2(px.x, 0.0))) - luma(tex(uv - vec2(px.x, 0.0)));
        float gy = luma(tex(uv + vec2(0.0, px.y))) - luma(tex(uv - vec2(0.0, px.y)));
        float g = length(vec2(gx, gy)) * 4.0;
        float hue = atan(gy, gx) + t;
        vec3 neon = 0.5 + 0.5 * cos(hue + vec3(0.0, 2.1, 4.2));
        return tex(uv) * 0.35 + neon * g * (1.0 + a);
    }
    if (fx == 11) {
        float ang = atan(d.y, d.x);
        float sp = sin(3.0 * ang + 12.0 * log(r + 0.02) - t * 3.0);
        vec3 c = tex(u_c + rot(0.3 * sp * a) * d / vec2(asp, 1.0));
        return c * (0.7 + 0.3 * sp);
    }
    if (fx == 12) {
        float heat = exp(-r * (4.0 - 2.0 * a));
        vec2 flow = vec2(0.01 * sin(uv.x * 20.0 + t), -0.04 * heat * fract(t * 0.2 + hash(floor(uv.xx * 60.0))));
        return mix(tex(uv + flow), vec3(1.0, 0.95, 0.85), heat * 0.6 * (0.5 + u_snd.x));
    }
    if (fx == 13) {
        float fog = 0.5 + 0.5 * sin(uv.x * 5.0 + t * 0.4 + sin(uv.y * 4.0 - t * 0.3) * 2.0);
        return mix(tex(uv), vec3(0.55, 0.6, 0.75), fog * 0.35 * (0.5 + a));
    }
    if (fx == 14) {
        vec2 q = uv * vec2(asp, 1.0) * 8.0;
        vec2 hx = vec2(q.x * 1.1547, q.y + q.x * 0.57735);
        vec2 cell = floor(hx);
        float tri = fract(hx.x) > fract(hx.y) ? 1.0 : 0.0;
        vec2 off = (vec2(hash(cell + tri), hash(cell.yx + tri)) - 0.5) * 0.04 * (0.5 + a);
        return tex(uv + off) * (0.85 + 0.3 * hash(cell * 1.3 + tri));
    }
    if (fx == 15) {
        vec3 c = tex(uv);
        vec3 glint = vec3(0.0);
        for (int i = 1; i < 7; i++) {
            float fi = float(i) * 0.006;
            glint += tex(uv + vec2(fi, 0.0) / vec2(asp, 1.0)) + tex(uv - vec2(fi, 0.0) / vec2(asp, 1.0))
                   + tex(uv + vec2(0.0, fi)) + tex(uv - vec2(0.0, fi));
        }
        glint = max(glint / 24.0 - 0.55, 0.0) * 3.0 * (0.5 + a);
        return c + glint;
    }
    if (fx == 16) {
        vec2 w = vec2(sin(uv.y * 12.0 + t), sin(uv.x * 10.0 - t * 0.8)) * 0.012 * (0.5 + a);
        vec3 c = tex(uv + w);
        return c + vec3(0.25) * pow(max(0.0, w.x * 40.0), 3.0);
    }
    if (fx == 17) {
        vec3 c = vec3(0.0);
        vec2 dir = normalize(d + 1e-5) / vec2(asp, 1.0) * 0.004 * (1.0 + 2.0 * a);
        for (int i = 0; i < 7; i++) {
            float fi = float(i);
            vec3 w = 0.5 + 0.5 * cos(fi / 6.0 * 4.2 + vec3(0.0, 2.1, 4.2));
            c += tex(uv + dir * (fi - 3.0)) * w;
        }
        float band = exp(-pow((uv.x + uv.y * 0.5 - fract(t * 0.1) * 1.8 + 0.2) * 10.0, 2.0));
        return c / 2.6 + vec3(0.25) * band;
    }
    vec2 q = d;
    float ang = atan(q.y, q.x) + 0.08 * t;
    float seg = 6.2831853 / 6.0;
    ang = abs(mod(ang, seg) - seg * 0.5);
    q = vec2(cos(ang), sin(ang)) * r;
    return tex(u_c + q / vec2(asp, 1.0));
}

void main() {
    vec3 orig = tex(v_uv);
    vec3 c = effect(SEL_FX, v_uv);
    if (u_morph > 0.003) c = mix(c, effect(u_fx2, v_uv), clamp(u_morph, 0.0, 1.0));
    gl_FragColor = vec4(mix(orig, c, clamp(u_mix, 0.0, 1.0)), 1.0);
}
)";

// One feedback step: the bright parts of the new picture over the turned, zoomed, fading history.
const char* const kEcho = R"(#version 120
varying vec2 v_uv;
uniform sampler2D u_cur;
uniform sampler2D u_prev;
uniform vec2 u_c;
uniform vec2 u_px;
uniform float u_asp;
uniform float u_zoom;
uniform float u_rot;
uniform float u_swirl;
uniform float u_decay;
uniform float u_gain;
uniform float u_thresh;
uniform float u_hue;

void main() {
    vec3 blur = (2.0 * texture2D(u_cur, v_uv).rgb + texture2D(u_cur, v_uv + vec2(u_px.x, 0.0)).rgb
               + texture2D(u_cur, v_uv - vec2(u_px.x, 0.0)).rgb + texture2D(u_cur, v_uv + vec2(0.0, u_px.y)).rgb
               + texture2D(u_cur, v_uv - vec2(0.0, u_px.y)).rgb) / 6.0;
    float hi = max(blur.r, max(blur.g, blur.b));
    vec3 cur = blur * smoothstep(u_thresh, u_thresh + 0.35, hi) * u_gain;
    vec2 d = (v_uv - u_c) * vec2(u_asp, 1.0);
    float a = u_rot + u_swirl * exp(-2.0 * length(d));
    float c = cos(a), s = sin(a);
    d = vec2(c * d.x - s * d.y, s * d.x + c * d.y) / max(u_zoom, 1e-3);
    vec2 p = u_c + d / vec2(u_asp, 1.0);
    vec3 prev = vec3(0.0);
    if (p.x >= 0.0 && p.x <= 1.0 && p.y >= 0.0 && p.y <= 1.0) prev = texture2D(u_prev, p).rgb;
    prev = mix(prev, prev.gbr, u_hue) * u_decay;
    gl_FragColor = vec4(max(cur, prev), 1.0);
}
)";

} // namespace gpu_fractal::glsl
