// The interface model (see ui.h). Window thread only.
//
// Sections, in this order: beat tracker.
#include "ui/ui.h"

#include "audio/audio_pulse.h"
#include "core/settings.h"
#include "dsp/analyzer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace ui {

// ---- Beat tracker -------------------------------------------------------------------------------
// Every 10 ms hop of sound gives one onset value; six seconds of them give the tempo (the lag
// with the strongest autocorrelation, preferring periods near half a second) and the phase (the
// offset where onsets and kicks line up best). While the tempo is trusted the beats follow the
// predicted grid; otherwise every kick stands in for a beat. Kicks come from kick::Detector on
// the newly arrived samples, with the user's equaliser taken back out so that a bass boost does
// not change what counts as a kick.

BeatTracker g_beat;

namespace {

constexpr int kTapFrames = 8192;
constexpr double kHop = 0.01;    // seconds
constexpr int kMinLag = 30;      // hops: 200 beats per minute
constexpr int kMaxLag = 100;     // hops: 60 beats per minute
constexpr float kLocked = 0.3f;  // confidence needed to follow the tempo
constexpr int kKickBeatGap = 25; // hops between kicks that stand in for beats
constexpr int kClapGap = 30;     // hops between claps
constexpr int kTailSlack = 2400; // frames the sound may run ahead of the elapsed time
constexpr int kSettle = 1440;    // samples (30 ms) that settle the onset measure's filters

BeatSource g_source;

bool engine_tap(float* left, float* right, int count, float* rate, float* age) {
    if (!audio::tap(left, right, count, rate, nullptr, false)) return false;
    *age = audio::tap_age();
    return true;
}

double now_s() {
    return g_source.clock ? g_source.clock() : beat_clock();
}

int ring_at(int index) {
    return ((index % BeatTracker::kRing) + BeatTracker::kRing) % BeatTracker::kRing;
}

// Removes the user's equaliser from `dry`: the tapped sound went through it, the detector's
// thresholds are made for the music as it was produced.
void undo_equaliser(BeatTracker& b, float* dry, int k, float rate) {
    const Settings* s = g_source.settings;
    if (!s || !s->active) {
        b.undo_valid = false;
        return;
    }
    if (!(b.undo_valid && rate == b.undo_rate && eq::same(s->curve, b.undo_curve))) {
        if (rate != b.undo_rate || !b.undo_valid) {
            b.undo.set_format(rate, 1);
            b.undo.reset();
        }
        eq::Curve negated = s->curve;
        for (float& g : negated.band) g = -g;
        negated.preamp = -negated.preamp;
        b.undo.set_curve(negated);
        b.undo_curve = s->curve;
        b.undo_rate = rate;
    }
    b.undo_valid = true;
    b.undo.process(dry, k);
}

// Tempo and phase from the onset history, every half second once two seconds are there.
void estimate_tempo(BeatTracker& b, int newest) {
    const int n = b.filled;
    auto flux = [&](int age) { return static_cast<double>(b.flux_hist[ring_at(newest - age)]); };
    double energy = 1e-9;
    for (int j = 0; j < n; ++j) energy += flux(j) * flux(j);
    int best = 0;
    double best_score = 0;
    for (int lag = kMinLag; lag <= kMaxLag; ++lag) {
        double a = 0;
        for (int j = 0; j + lag < n; ++j) a += flux(j) * flux(j + lag);
        const double octave = std::log2(lag / 50.0);
        const double score = a / (n - lag) * n * std::exp(-0.5 * octave * octave / 0.81);
        if (score > best_score) {
            best_score = score;
            best = lag;
        }
    }
    if (energy <= 1 || best == 0) {
        b.confidence = 0;
        return;
    }
    b.confidence = static_cast<float>(best_score / energy);
    if (b.confidence <= kLocked) return;
    b.period = best;
    int best_w = 0;
    double best_sum = -1;
    for (int w = 0; w < std::min(b.period, n); ++w) {
        double sum = 0;
        for (int age = w; age < n; age += b.period) {
            const int i = ring_at(newest - age);
            double marks = b.kick_marks[i];
            if (age > 0) marks += b.kick_marks[ring_at(newest - age + 1)];
            if (age < n - 1) marks += b.kick_marks[ring_at(newest - age - 1)];
            sum += b.flux_hist[i] + 1.5 * b.low_hist[i] + 8 * marks;
        }
        if (sum > best_sum) {
            best_sum = sum;
            best_w = w;
        }
    }
    const float predicted = static_cast<float>(b.hop - best_w + b.period);
    if (b.next_beat >= 0) {
        float diff = predicted - b.next_beat;
        const float p = static_cast<float>(b.period);
        while (diff > p / 2) diff -= p;
        while (diff < -p / 2) diff += p;
        b.next_beat += diff / 2;
    } else {
        b.next_beat = predicted;
    }
}

} // namespace

double beat_clock() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void set_beat_source(const BeatSource& source) {
    g_source = source;
}

void track_beat(float rate, float dt) {
    static float l[kTapFrames], r[kTapFrames], m[kTapFrames], dry[kTapFrames];
    BeatTracker& b = g_beat;

    b.time_rest += dt;
    int n = static_cast<int>(b.time_rest / kHop);
    if (n < 1) return;
    b.time_rest -= static_cast<float>(n * kHop);
    n = std::min(n, analyzer::kMaxOnsets);

    // Only the newest part of the tap is read: what the onset measure needs, and room enough to
    // find the previous call's tail behind the samples the elapsed time promises.
    const float size_rate = rate >= 8000 && rate <= 768000 ? rate : 48000; // before the tap confirms it
    const int hop_len = std::max(16, static_cast<int>(size_rate * 10 / 1000));
    const int span = std::min(kTapFrames, (n + 3) * hop_len + kSettle);
    const int promised = static_cast<int>(b.sample_rest + static_cast<float>(n * kHop * size_rate));
    const int len = std::clamp(std::max(span, promised + BeatTracker::kTail + kTailSlack), 1, kTapFrames);
    float tap_age = 0;
    if (!(g_source.tap ? g_source.tap : engine_tap)(l, r, len, &rate, &tap_age)) return;
    for (int i = 0; i < len; ++i) m[i] = (l[i] + r[i]) * 0.5f;

    const double now = now_s();
    // The display delay counts from the arrival of the newest sample, which may lie up to a
    // block before now.
    const double delay =
        (g_source.delay ? g_source.delay() : audio::display_delay()) - std::clamp(tap_age, 0.0f, 0.1f);
    const int beats_before = b.beats, claps_before = b.claps;

    b.sample_rest += static_cast<float>(n * kHop * rate);
    int k = std::min(static_cast<int>(b.sample_rest), kTapFrames);
    b.sample_rest -= static_cast<float>(k);
    k = std::min(k, len);

    // The time estimate drifts from what really arrived; where the previous call's last samples
    // can be found again, everything after them is new.
    const float* tail_begin = b.tail;
    const float* tail_end = b.tail + BeatTracker::kTail;
    if (b.tail_valid && len >= BeatTracker::kTail &&
        std::any_of(tail_begin, tail_end, [](float x) { return std::fabs(x) > 1e-7f; })) {
        for (int start = len - BeatTracker::kTail; start >= 0; --start) {
            if (m[start + BeatTracker::kTail - 1] != b.tail[BeatTracker::kTail - 1]) continue;
            if (std::equal(tail_begin, tail_end, m + start)) {
                k = len - (start + BeatTracker::kTail);
                break;
            }
        }
    }
    if (len >= BeatTracker::kTail) {
        std::copy(m + len - BeatTracker::kTail, m + len, b.tail);
        b.tail_valid = true;
    }

    int q = 0;
    float flux[analyzer::kMaxOnsets], low[analyzer::kMaxOnsets], high[analyzer::kMaxOnsets];
    if (k >= 1) {
        std::copy(m + len - k, m + len, dry);
        undo_equaliser(b, dry, k, rate);
        b.kick.period = b.confidence > kLocked ? static_cast<float>(b.period) * 0.01f : 0.0f;
        q = b.kick.feed(dry, k, rate);
    }
    // The onset measure's filters start from rest on every call; 30 ms before the hops it
    // measures settle them (to a few parts in ten thousand); older sound would only cost time.
    const int h = analyzer::onset_flux(m + len - std::min(span, len), std::min(span, len), rate, n, flux, low, high);

    // A beat belongs to the hop it fell on: hop i ends (h - 1 - i) hops before the newest sample.
    double beat_at[analyzer::kMaxOnsets];
    double clap_at[analyzer::kMaxOnsets];
    const double kick_age = q > 0 ? static_cast<double>(b.kick.samples - b.kick.onset_at) / rate : 0;
    for (int i = 0; i < h; ++i) {
        const double hop_age = (h - 1 - i) * kHop;
        const int p = b.pos;
        b.flux_hist[p] = flux[i];
        b.low_hist[p] = low[i];
        b.kick_marks[p] = 0;
        b.filled = std::min(b.filled + 1, BeatTracker::kRing);
        b.hop += 1;
        b.pos = (b.pos + 1) % BeatTracker::kRing;

        if (b.filled >= 200 && b.hop % 50 == 0) estimate_tempo(b, p);

        const bool last = i == h - 1;
        const bool locked = b.confidence > kLocked && b.next_beat >= 0;
        if (locked && b.next_beat <= static_cast<float>(b.hop)) {
            b.next_beat += static_cast<float>(b.period);
            if (b.hop - b.last_beat > b.period / 2) {
                beat_at[b.beats - beats_before] = hop_age;
                b.beats += 1;
                b.last_beat = b.hop;
            }
        }
        if (last && q > 0) {
            b.kicks += q;
            b.last_kick = b.hop;
            b.kick_marks[ring_at(p - 2)] = 1.0f;
            // Without a trusted tempo every kick is a beat, heard with its kick.
            if (!locked && b.hop - b.last_beat > kKickBeatGap) {
                beat_at[b.beats - beats_before] = kick_age;
                b.beats += 1;
                b.last_beat = b.hop;
            }
        }
        b.clap_peak = std::max(b.clap_peak * 0.9985f, high[i]);
        if (high[i] > std::max(1.6f, 0.75f * b.clap_peak) && b.hop - b.last_clap > kClapGap) {
            clap_at[b.claps - claps_before] = hop_age;
            b.claps += 1;
            b.last_clap = b.hop;
        }
    }

    // Each event is due when its sound is heard: `delay` after the newest sample, less how long
    // before the newest sample it sounded.
    if (q > 0) {
        const double at = now + std::max(0.0, delay - kick_age);
        for (int i = 0; i < q; ++i) queue_beat('k', at);
    }
    for (int i = 0; i < b.beats - beats_before; ++i) queue_beat('b', now + std::max(0.0, delay - beat_at[i]));
    for (int i = 0; i < b.claps - claps_before; ++i) queue_beat('c', now + std::max(0.0, delay - clap_at[i]));
}

void queue_beat(char kind, double at) {
    BeatTracker& b = g_beat;
    auto slot = [&](int i) -> BeatTracker::Due& { return b.due[(b.due_first + i) % BeatTracker::kMaxDue]; };
    if (b.due_count == BeatTracker::kMaxDue) {
        // Full: the earliest goes, unless the new one would be the earliest itself.
        if (at < slot(0).at) return;
        b.due_first = (b.due_first + 1) % BeatTracker::kMaxDue;
        --b.due_count;
    }
    int i = b.due_count;
    while (i > 0 && slot(i - 1).at > at) {
        slot(i) = slot(i - 1);
        --i;
    }
    slot(i) = {at, kind};
    ++b.due_count;
}

void release_beats() {
    BeatTracker& b = g_beat;
    const double now = now_s();
    if (b.last_release > 0) b.release_step += 0.1 * (std::clamp(now - b.last_release, 0.0, 0.05) - b.release_step);
    b.last_release = now;
    const double until = now + 0.5 * b.release_step;
    while (b.due_count > 0 && b.due[b.due_first].at <= until) {
        const char kind = b.due[b.due_first].kind;
        if (kind == 'k')
            ++b.kicks_released;
        else if (kind == 'c')
            ++b.claps_released;
        else
            ++b.beats_released;
        b.due_first = (b.due_first + 1) % BeatTracker::kMaxDue;
        --b.due_count;
    }
}

} // namespace ui
