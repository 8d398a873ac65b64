// Bass-drum detection with low latency in a mono sound stream. The sound is cut into 2 ms
// blocks: a fast rise of a 35-300 Hz band opens a candidate, a rise of a 30-75 Hz band within
// 50 ms confirms it when the band above 2 kHz rose with it (a drum's attack, which a bass note
// lacks) and the energy of its first 16 ms lay mostly above 75 Hz (a kick's pitch starts high, a
// bass note's fundamental is there from the start), or when the pitch fell: the 30-75 Hz band
// gaining steadily on the 35-300 Hz band as the latter decays, as with a kick that is only a sine
// sweeping down (808-style). A bass note keeps its pitch. An attack of moderate strength counts
// only when the balance of the bands has not turned upwards 20 ms into the candidate, as it does
// where a picked note's harmonics grow or a brighter note sits on top: a kick's pitch never rises.
// Under loud pads, where the wider band hardly moves, a rise of the 30-75 Hz band alone opens a
// candidate, which only a falling pitch with a trace of an attack confirms.
// A candidate that shows a drum is reported 42 ms after its start, and not at all when by then its
// level keeps up and ripples at a steady pitch, as a bass note's does after a gap (its
// fundamental builds up as a kick's falling pitch would, and a pick or a hat gives the attack).
// A strong new rise restarts an unconfirmed candidate, so a bass note does not hide the kick
// after it. A candidate that falls on the beat grid of earlier kicks and starts with an attack
// above 2 kHz is reported at once, the others on confirmation. Thresholds adapt to what the
// kicks of the music show; a confirming low band must come within 4 dB of the peak of the kicks
// before, or within 8 dB with a loud attack and a clearly high start (the second of a pair).
// Single-threaded arithmetic on the caller's thread; no allocation.
#pragma once

#include <cstdint>

namespace kick {

class Detector {
  public:
    // A second-order filter section, transposed direct form II.
    struct Section {
        float b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
        float z1 = 0, z2 = 0;
    };

    static constexpr int kSections = 6;
    static constexpr int kHistA = 5;  // 10 ms level window of band A
    static constexpr int kHistB = 6;  // 12 ms level window of band B: one whole ripple of a 41 Hz note
    static constexpr int kHistH = 3;  // 6 ms window of the click band
    static constexpr int kRingH = 10; // 20 ms of click-band levels
    static constexpr int kRingA = 25; // 50 ms of band-A levels for the minimum
    static constexpr int kRingB = 15; // 30 ms of band-B levels
    static constexpr int kKickRing = 24;

    // Processes n samples at `rate` Hz and returns how many kicks were reported during the
    // call. Nothing happens for a null pointer, n <= 0 or a rate below 8000 Hz (or one no sound
    // server delivers). A rate change restarts detection but keeps `kicks` and `period`.
    int feed(const float* samples_in, int n, float rate);
    // Whether a candidate starting at this block lies on the beat grid of the stored kicks:
    // confirmed kicks two beats back and also one or four beats back.
    bool known(int64_t block) const;
    void reset();

    int kicks = 0;             // kicks reported so far (survives a rate change)
    int kicks_early = 0;       // reported at candidate start, from the beat grid
    int kicks_confirmed = 0;   // reported on confirmation
    int kicks_unconfirmed = 0; // early reports whose candidate expired without confirmation
    int64_t report_at = 0;     // `samples` when the latest kick was reported
    int64_t onset_at = 0;      // `samples` at the latest reported kick's onset
    float rate = 0;            // sample rate the filters are set for
    float period = 0;          // beat period in seconds, written by the owner; 0 = no tempo

    Section sections[kSections];
    int block_len = 96;
    int block_pos = 0;
    int64_t samples = 0; // samples fed since the last reset
    int64_t blocks = 0;  // blocks completed since the last reset
    double acc_a = 0, acc_b = 0;
    float hist_a[kHistA] = {}; // newest first
    float hist_b[kHistB] = {};
    double acc_h = 0;
    float hist_h[kHistH] = {};
    float ring_h[kRingH] = {};
    int ring_h_pos = 0, ring_h_count = 0;
    float ring_a[kRingA] = {}; // band-A levels in dB
    float ring_b[kRingB] = {};
    int ring_a_pos = 0, ring_a_count = 0, ring_b_pos = 0, ring_b_count = 0;
    float thr_a = 14; // adaptive rise thresholds, dB
    float thr_b = 12;
    float peak_a = -90; // slowly falling peak of the band-A level, dB
    int since = 1000;   // blocks since the last candidate started
    bool open = false, reported = false, confirmed = false;
    float floor_a = 0; // band-A minimum when the candidate started, dB
    float max_rise_a = 0, max_rise_b = 0;
    float click = 0; // rise of the click band (above 2 kHz) around the candidate's start, dB
    float peak_b = 0; // highest band-B level since the candidate started, dB
    float start_b = 0; // band-B level when the candidate started, dB
    float tilt = 0;   // band-A level less band-B level 10 ms into the candidate, dB
    float tilt_early = 0; // the same, summed over the blocks 6 to 16 ms into the candidate, dB
    float fall_gain = 0;  // band A's gain on band B from 2-8 ms to 18-24 ms in, dB, summed over 4 blocks
    int sweep_blocks = 0; // blocks in a row that showed the pitch falling
    bool low_opened = false; // the candidate was opened by the 30-75 Hz band alone
    bool padded = false;     // and loud pads filled the 35-300 Hz band before it (see kPadTilt)
    bool pending = false;    // it showed a drum, and waits for the test of a held note
    bool held = false;       // that test found a held note
    float ripple = 0;        // total variation of the band-B level from 20 ms in, less its net change, dB
    float ripple_first = 0, ripple_prev = 0; // band-B levels at the start of that span and in the last block
    float early_peak_b = 0, late_peak_b = 0; // highest band-B level up to 26 ms in, and from 30 ms in
    int64_t cand_block = 0;
    int64_t cand_at = 0;
    int64_t kick_blocks[kKickRing] = {}; // block numbers of confirmed kicks
    int kick_pos = 0, kick_count = 0;

  private:
    void set_rate(float new_rate);
    int finish_block();
    void report(int64_t onset);
};

} // namespace kick
