#include "dsp/kick.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace kick {
namespace {

// 2π·f for the filter corners (30, 75, 35 and 300 Hz), as the single-precision values the
// coefficients have always been computed from.
constexpr float kW30 = 188.49556f;
constexpr float kW75 = 471.23892f;
constexpr float kW35 = 219.9115f;
constexpr float kW300 = 1884.9557f;
constexpr float kW2000 = 12566.371f;
// Above this no sound server runs; it keeps the block length far inside int.
constexpr float kMaxRate = 768000;

constexpr float kTiny = 1e-20f; // filter states below this (-400 dB) are cleared
constexpr float kFloorDb = -72; // below this a band is considered silent
// Thresholds are raised at most to this: a second kick an eighth after a loud one rises from
// the first one's tail, not from silence.
constexpr float kThrMax = 20;
constexpr float kClickRise = 12; // dB the click band must rise around a kick's start
// An attack alone does not tell a kick: a hat or a pick opens many bass notes. A kick's pitch
// starts high, so from 6 to 16 ms into it its energy lies mostly above 75 Hz, where a bass note's
// fundamental fills the band below from the start: band A must then lie on average kTiltKick
// below band B. A loud attack, or a rise of band A by as much as only a kick makes, needs no
// such proof.
constexpr float kStrongClick = 40;
constexpr float kTiltKick = -7;
constexpr int kTiltFrom = 3, kTiltBlocks = 5;
constexpr float kBigRise = 35;
// A kick an eighth after another rises from that one's tail; with a beater's attack
// (kStrongClick) and a high start, band A need rise only this much.
constexpr float kBeaterRise = 5.0f;
// A confirming band-A level may lie this far below the slowly falling peak of earlier kicks.
// With a pair of kicks an eighth apart, or a softer kick after a loud one, the kick may lie
// further below: up to kFarBelow where it shows plain proof of a drum, an attack that stands
// kFarClick above the last 20 ms of the band above 2 kHz and a start whose energy in the
// blocks 6 to 16 ms in lies on average kFarTilt or more above 75 Hz. A hat on a synth bass
// note whose filter closes may bring such an attack but not such a start, one on a note above
// 75 Hz such a start but not such an attack.
constexpr float kPeakBelow = 4.0f;
constexpr float kFarBelow = 8.0f;
constexpr float kFarClick = 50.0f;
constexpr float kFarTilt = -11.0f;
// Hats and picks sit on many bass notes with an attack of some strength, and a picked note's
// harmonics sound first as a kick's high start does. A kick's pitch only ever falls, so band A
// never loses ground on band B during its first 25 ms; a note whose upper harmonics grow, or a
// brighter note on top, moves the balance the other way. An attack short of kStrongClick
// therefore confirms a kick only once band A has lost no more than kFallLoss dB on band B, from
// the mean of the blocks 1-4 into the candidate to that of the blocks 9-12 (a kick's sweep may
// still lie above 75 Hz then, so only the direction is asked for, not a gain).
constexpr float kFallLoss = 3.0f;
constexpr int kFallFirst = 1, kFallLate = 9, kFallBlocks = 4;
// Share of the threshold that band A must rise by: a kick over a busy bass line rises less than
// the loud kick that set the threshold.
constexpr float kConfirmShare = 0.5f;
constexpr int kClickBlocks = 3;  // blocks after the start in which the click is looked for
constexpr float kThrDecay = 0.99965f;
constexpr int kCandidateBlocks = 49; // a candidate stays open 50 blocks (100 ms)
constexpr int kRestBlocks = 44;      // and the next one starts 90 ms after it at the earliest
constexpr int kConfirmBlocks = 25;   // an unconfirmed candidate gives up after 50 ms
constexpr int kRestartBlocks = 15;   // a new rise 30 ms into an unconfirmed candidate restarts it
// A kick without a click (an 808-style sine sweeping down from about 150 Hz) shows its falling
// pitch instead: from 10 ms after its start the band below 75 Hz gains on the 35-300 Hz band
// while the latter has passed its peak, and keeps that lead for 16 ms in a row. A bass note
// keeps its pitch, and both bands with it.
constexpr int kSweepFrom = 5;      // blocks after the start where the bands' balance is taken
constexpr float kSweepRise = 6.0f; // dB the low band must gain on the wider one
constexpr float kSweepFall = 1.0f; // dB the 35-300 Hz band must have fallen from its peak
constexpr int kSweepHold = 8;      // blocks in a row
// A soft kick under loud pads or a held bass hardly moves the 35-300 Hz band; the band below
// 75 Hz rising alone by this much opens a candidate then, but only while the wider band stays
// within kLowStartStill of its minimum (a kick over a held bass note moves it more and opens the
// ordinary way). Such a candidate needs the falling pitch and at least a trace of an attack.
constexpr float kLowStartRise = 10.0f;
constexpr float kLowStartStill = 6.0f;
constexpr float kLowClick = 3.0f; // dB the band above 2 kHz must rise by
constexpr int kLowBack = 8;       // blocks its onset may be dated back
// Pads fill the 35-300 Hz band far above the band below 75 Hz: for 30 ms before a kick under them
// band A lies this far or further below band B. A bass line alone leaves the bands closer.
constexpr float kPadTilt = -18.0f;
constexpr float kLowStillB = 1.0f; // dB the wider band may stand above its level at the start
// A low bass note after a gap looks like a kick for 30 ms: its pick or a hat gives the attack and
// its fundamental builds up in the band below 75 Hz as a kick's falling pitch does. It differs
// afterwards: its level keeps up where a kick's decays, and the level of the 35-300 Hz band
// ripples at the note's steady pitch (its harmonics beat against the fundamental) where a kick's
// falls smoothly. So a candidate that shows a drum is reported only once 42 ms have passed, and
// not at all when from 20 to 42 ms the band-B level ripples by kHeldRipple dB (its total variation
// less its net change) while its peak from 30 ms on stays within kHeldDecay of that before 26 ms.
// The onset lies up to 10 ms before the candidate's start, so the report comes 42-52 ms after the
// sound: still before the display delay of about 60 ms.
constexpr int kRippleFrom = 10;
constexpr int kHeldAt = 21;
constexpr int kEarlyPeakTo = 13, kLatePeakFrom = 15;
constexpr float kHeldRipple = 6.5f;
constexpr float kHeldDecay = -0.5f;
// A kick whose pitch falls into band A over a bass note beats with the note, and its level
// ripples more: where band A gained kPitchFell dB on band B (see kFallLoss), kFellRipple holds.
constexpr float kPitchFell = 4.0f;
constexpr float kFellRipple = 16.0f;

Detector::Section design(bool high, float two_pi_f, float rate, float d) {
    const float w = two_pi_f / rate;
    const float cw = std::cos(w);
    const float alpha = std::sin(w) / d;
    const float a0 = 1.0f + alpha;
    Detector::Section s;
    if (high) {
        s.b0 = (1.0f + cw) / 2.0f / a0;
        s.b1 = -(1.0f + cw) / a0;
    } else {
        s.b0 = (1.0f - cw) / 2.0f / a0;
        s.b1 = (1.0f - cw) / a0;
    }
    s.b2 = s.b0;
    s.a1 = -2.0f * cw / a0;
    s.a2 = (1.0f - alpha) / a0;
    return s;
}

inline float run(Detector::Section& s, float x) {
    const float y = s.b0 * x + s.z1;
    s.z1 = s.b1 * x - s.a1 * y + s.z2;
    s.z2 = s.b2 * x - s.a2 * y;
    return y;
}

template <int N> void shift_in(float (&hist)[N], float value) {
    std::memmove(hist + 1, hist, (N - 1) * sizeof(float));
    hist[0] = value;
}

template <int N> float mean(const float (&v)[N]) {
    float sum = 0;
    for (float x : v) sum += x;
    return sum / static_cast<float>(N);
}

// Smallest of `level` and the valid ring entries, then `level` goes into the ring.
template <int N> float min_and_store(float (&ring)[N], int& pos, int& count, float level) {
    float m = level;
    for (int i = 0; i < count; ++i) m = std::min(m, ring[i]);
    ring[pos] = level;
    pos = (pos + 1) % N;
    count = std::min(count + 1, N);
    return m;
}

// Blocks before the newest one in which the level has stood more than 3 dB above `floor` without
// a break, at most `limit`: how long ago a rise began.
template <int N> int blocks_risen(const float (&ring)[N], int pos, int count, float floor, int limit) {
    int back = 0;
    for (int i = 1; i < count && back < limit; ++i) {
        if (ring[(pos - 1 - i + 2 * N) % N] <= floor + 3.0f) break;
        ++back;
    }
    return back;
}

} // namespace

void Detector::reset() {
    *this = Detector();
}

void Detector::set_rate(float new_rate) {
    const int keep_kicks = kicks;
    const float keep_period = period;
    reset();
    kicks = keep_kicks;
    period = keep_period;
    rate = new_rate;
    // Band A: 30 Hz Butterworth high-pass, then a fourth-order Butterworth low-pass at 75 Hz as
    // two sections (Q 0.5412 and 1.3066). Band B: 35 Hz high-pass and 300 Hz low-pass.
    sections[0] = design(true, kW30, rate, 1.4142f);
    sections[1] = design(false, kW75, rate, 1.0824f);
    sections[2] = design(false, kW75, rate, 2.6132f);
    sections[3] = design(true, kW35, rate, 1.4142f);
    sections[4] = design(false, kW300, rate, 1.4142f);
    // The click band (above 2 kHz), where a drum's beater or attack shows and a bass note does not.
    sections[5] = design(true, kW2000, rate, 1.4142f);
    block_len = std::max(16, static_cast<int>(rate * 0.002f + 0.5f));
}

int Detector::feed(const float* samples_in, int n, float sample_rate) {
    if (!samples_in || n <= 0 || !(sample_rate >= 8000.0f) || sample_rate > kMaxRate) return 0;
    if (sample_rate != rate) set_rate(sample_rate);
    int found = 0;
    for (int i = 0; i < n; ++i) {
        const float x = samples_in[i];
        const float a = run(sections[2], run(sections[1], run(sections[0], x)));
        const float b = run(sections[4], run(sections[3], x));
        const float h = run(sections[5], x);
        acc_a += static_cast<double>(a) * a;
        acc_b += static_cast<double>(b) * b;
        acc_h += static_cast<double>(h) * h;
        ++samples;
        if (++block_pos == block_len) found += finish_block();
    }
    return found;
}

void Detector::report(int64_t onset) {
    ++kicks;
    reported = true;
    report_at = samples;
    onset_at = onset;
}

int Detector::finish_block() {
    block_pos = 0;
    // After sound stops the filter states sink into subnormal numbers and can stay there in a
    // limit cycle; on many processors every operation on them is then very slow. Far below
    // anything audible they are cleared instead.
    for (Section& s : sections) {
        if (std::fabs(s.z1) < kTiny) s.z1 = 0;
        if (std::fabs(s.z2) < kTiny) s.z2 = 0;
    }
    const int64_t block = ++blocks;
    shift_in(hist_a, static_cast<float>(acc_a / block_len));
    shift_in(hist_b, static_cast<float>(acc_b / block_len));
    shift_in(hist_h, static_cast<float>(acc_h / block_len));
    acc_a = acc_b = acc_h = 0;
    const float level_a = 10.0f * std::log10(1e-12f + mean(hist_a));
    const float level_b = 10.0f * std::log10(1e-12f + mean(hist_b));
    const float level_h = 10.0f * std::log10(1e-12f + mean(hist_h));
    const float min_a = min_and_store(ring_a, ring_a_pos, ring_a_count, level_a);
    const float min_b = min_and_store(ring_b, ring_b_pos, ring_b_count, level_b);
    const float min_h = min_and_store(ring_h, ring_h_pos, ring_h_count, level_h);
    thr_a = std::max(thr_a * kThrDecay, 9.0f);
    thr_b = std::max(thr_b * kThrDecay, 8.0f);
    // Long silences must not overflow the count; it is only ever compared with small numbers.
    if (since < std::numeric_limits<int>::max()) ++since;
    const float rise_b = level_b - min_b;
    const float rise_h = level_h > kFloorDb - 20 ? level_h - min_h : 0.0f;
    const float start_rise = std::max(0.55f * thr_b, 8.0f);
    int found = 0;
    bool may_start = !open;
    if (open) {
        const float rise_a = level_a - floor_a;
        max_rise_b = std::max(max_rise_b, rise_b);
        max_rise_a = std::max(max_rise_a, rise_a);
        if (since <= kClickBlocks) click = std::max(click, rise_h);
        peak_b = std::max(peak_b, level_b);
        if (since == kSweepFrom && !low_opened) tilt = level_a - level_b;
        if (since >= kTiltFrom && since < kTiltFrom + kTiltBlocks) tilt_early += level_a - level_b;
        if (since >= kFallFirst && since < kFallFirst + kFallBlocks) fall_gain -= level_a - level_b;
        if (since >= kFallLate && since < kFallLate + kFallBlocks) fall_gain += level_a - level_b;
        const int sweep_from = low_opened ? 0 : kSweepFrom;
        // Held for a few blocks: the two bands of a bass note's low fundamental ripple against
        // each other, a sweep moves steadily.
        // Under loud pads (see kPadTilt) the wider band carries the pads' own ripple rather than
        // the kick's decay; it need only stay below where it stood when the low band rose.
        const bool wide_down = level_b <= peak_b - kSweepFall || (padded && level_b <= start_b + kLowStillB);
        if (since > sweep_from && level_a - level_b - tilt >= kSweepRise && wide_down)
            ++sweep_blocks;
        else
            sweep_blocks = 0;
        const bool sweep = sweep_blocks >= kSweepHold;
        // A drum's beater or attack reaches far above the bass, or its pitch falls: a note of a
        // bass line rising alone in the low bands is no kick, however loud. (See kStrongClick.)
        const bool balance_known = since >= kTiltFrom + kTiltBlocks - 1;
        const bool high_start = balance_known && tilt_early <= kTiltKick * static_cast<float>(kTiltBlocks);
        const bool pitch_kept = since >= kFallLate + kFallBlocks - 1 &&
                                fall_gain >= -kFallLoss * static_cast<float>(kFallBlocks);
        const bool attack = click >= kStrongClick || (click >= kClickRise && pitch_kept &&
                                                      (high_start || (balance_known && rise_a >= kBigRise)));
        const bool drum = low_opened ? sweep && click >= kLowClick : attack || sweep;
        if (since <= kEarlyPeakTo) early_peak_b = std::max(early_peak_b, level_b);
        if (since >= kLatePeakFrom && since <= kHeldAt) late_peak_b = std::max(late_peak_b, level_b);
        if (since == kRippleFrom) {
            ripple = 0;
            ripple_first = level_b;
        } else if (since > kRippleFrom && since <= kHeldAt) {
            ripple += std::fabs(level_b - ripple_prev);
            if (since == kHeldAt) ripple -= std::fabs(level_b - ripple_first);
        }
        ripple_prev = level_b;
        // A kick an eighth after a loud one rises from that one's tail: with a beater's attack
        // and a high start a smaller rise of band A will do.
        const bool beater = click >= kStrongClick && high_start;
        const float need_rise = beater ? kBeaterRise : std::max(kConfirmShare * thr_a, 9.0f);
        const bool plain_drum = click >= kFarClick && high_start &&
                                tilt_early <= kFarTilt * static_cast<float>(kTiltBlocks);
        const float below = plain_drum ? kFarBelow : kPeakBelow;
        if (!confirmed && !pending && !held && since >= kClickBlocks && drum && rise_a >= need_rise &&
            level_a > kFloorDb && level_a > peak_a - below)
            pending = true;
        if (pending && (reported || since >= kHeldAt)) {
            pending = false;
            const float allowed =
                fall_gain >= kPitchFell * static_cast<float>(kFallBlocks) ? kFellRipple : kHeldRipple;
            // Under loud pads the ripple and level of that band are the pads', not the candidate's.
            held = !reported && !padded && ripple >= allowed && late_peak_b - early_peak_b >= kHeldDecay;
            if (!held) {
                confirmed = true;
                kick_blocks[kick_pos] = cand_block;
                kick_pos = (kick_pos + 1) % kKickRing;
                kick_count = std::min(kick_count + 1, kKickRing);
                if (!reported) {
                    ++kicks_confirmed;
                    report(cand_at);
                    ++found;
                }
            }
        }
        // A strong new rise while an unconfirmed candidate is open is a new onset: a kick right
        // after a bass note must not be hidden by it.
        // One opened by the low band alone gives way to any rise of the wider band at once; where
        // pads fill that band, whose next chord may set in with the kick, only to one with an attack.
        const bool restart = !confirmed && !pending &&
                             (since > kRestartBlocks || (low_opened && (!padded || rise_h >= kClickRise))) &&
                             level_b > kFloorDb && rise_b >= start_rise;
        if (since > kCandidateBlocks || restart || (!confirmed && since > kConfirmBlocks)) {
            open = false;
            may_start = true;
            if (confirmed) {
                // The next kicks of this music must show a rise like this one's.
                thr_a = std::max(thr_a, std::min(max_rise_a, kThrMax));
                thr_b = std::max(thr_b, std::min(max_rise_b, kThrMax));
            } else if (reported) {
                ++kicks_unconfirmed;
            }
            if (restart) since = kRestBlocks + 1;
        }
    }
    peak_a = std::max(peak_a - 0.008f, level_a);

    const bool wide_start = level_b > kFloorDb && rise_b >= start_rise;
    // A soft kick under pads (see kLowStartRise).
    const bool low_start =
        !wide_start && rise_b < kLowStartStill && level_a > kFloorDb && level_a - min_a >= kLowStartRise;
    if (may_start && since > kRestBlocks && (wide_start || low_start)) {
        open = true;
        reported = false;
        confirmed = false;
        since = 0;
        // The rise began where the level last stood near its recent minimum; the level window
        // spreads it over the blocks since then.
        int back = 0;
        if (wide_start) {
            back = blocks_risen(ring_b, ring_b_pos, ring_b_count, min_b, kHistB - 1);
        } else {
            back = blocks_risen(ring_a, ring_a_pos, ring_a_count, min_a, kLowBack);
            // The low band of a kick under pads may first dip where its pitch meets the bass
            // note's; its attack marks the onset better.
            back = std::max(back, blocks_risen(ring_h, ring_h_pos, ring_h_count, min_h, kLowBack));
        }
        low_opened = low_start;
        if (low_start) {
            // The balance of the bands before the rise: the sweep is measured from there.
            tilt = level_a - level_b;
            for (int i = 1; i < ring_b_count; ++i)
                tilt = std::min(tilt, ring_a[(ring_a_pos - 1 - i + 2 * kRingA) % kRingA] -
                                          ring_b[(ring_b_pos - 1 - i + 2 * kRingB) % kRingB]);
        }
        padded = low_start && ring_b_count == kRingB && tilt <= kPadTilt;
        cand_block = block;
        cand_at = samples - static_cast<int64_t>(back) * block_len;
        floor_a = min_a;
        max_rise_a = 0;
        max_rise_b = rise_b;
        click = rise_h;
        peak_b = level_b;
        start_b = level_b;
        sweep_blocks = 0;
        pending = false;
        held = false;
        early_peak_b = late_peak_b = -200;
        ripple = 0;
        tilt_early = 0;
        fall_gain = 0;
        // On the beat grid a kick is reported before its low band has grown, but only with a
        // drum's attack already there: a bass note on the beat has none.
        if (wide_start && rise_h >= kClickRise && known(block)) {
            ++kicks_early;
            report(samples);
            ++found;
        }
    }
    return found;
}

bool Detector::known(int64_t block) const {
    if (period < 0.25f || period > 1.2f || kick_count == 0) return false;
    const double beat = period / 0.002; // the period in blocks
    auto near = [&](double t, double tol) {
        for (int i = 0; i < kick_count; ++i)
            if (std::fabs(static_cast<double>(kick_blocks[i]) - t) <= tol) return true;
        return false;
    };
    const double b = static_cast<double>(block);
    return near(b - 2 * beat, 19) && (near(b - beat, 17) || near(b - 4 * beat, 23));
}

} // namespace kick
