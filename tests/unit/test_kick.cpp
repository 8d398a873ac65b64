// The kick detector on synthetic music whose kick onsets are known: bass drums with a pitch
// sweep, bass lines, hi-hats, claps and snares, pink noise, tempos from 80 to 160 BPM and levels
// from -30 to 0 dBFS. Also what must never count as a kick, and the detector's bookkeeping.
#include "dsp/kick.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kRate = 48000;

double db_to_amp(double db) {
    return std::pow(10.0, db / 20);
}

// Butterworth second-order high-pass or low-pass (double precision, direct form I).
struct Biquad {
    Biquad(bool high, double f, double rate) {
        const double w = 2 * kPi * f / rate, cw = std::cos(w), alpha = std::sin(w) / std::sqrt(2.0);
        const double a0 = 1 + alpha;
        b0 = (high ? (1 + cw) / 2 : (1 - cw) / 2) / a0;
        b1 = (high ? -(1 + cw) : 1 - cw) / a0;
        b2 = b0;
        a1 = -2 * cw / a0;
        a2 = (1 - alpha) / a0;
    }
    double run(double x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
    double b0, b1, b2, a1, a2, x1 = 0, x2 = 0, y1 = 0, y2 = 0;
};

// A mono track under construction: instruments are added at times in seconds.
class Mix {
  public:
    Mix(double seconds, float rate, unsigned seed)
        : out(static_cast<size_t>(seconds * rate)), rate_(rate), rng_(seed) {}

    // A bass drum: a sine sweeping from about 150 Hz down to about 50 Hz, a 1 ms attack, an
    // exponential decay and a short click of noise at the front.
    // `decay` is the amplitude's time constant in seconds; 0 picks one at random.
    void kick(double t0, double amp, double decay = 0) {
        const double f_start = uniform(130, 170), f_end = uniform(45, 58), sweep = uniform(0.02, 0.04);
        if (decay <= 0) decay = uniform(0.06, 0.15);
        double phase = 0;
        for_span(t0, 0.6, [&](double t, float& s) {
            const double f = f_end + (f_start - f_end) * std::exp(-t / sweep);
            phase += 2 * kPi * f / rate_;
            const double env = std::min(1.0, t / 0.001) * std::exp(-t / decay);
            s += static_cast<float>(amp * (env * std::sin(phase) + 0.15 * std::exp(-t / 0.002) * noise()));
        });
    }

    // A bass note: fundamental with two harmonics, an attack of `attack` seconds, a slow decay
    // and a 20 ms release at its end.
    void bass(double t0, double length, double freq, double amp, double attack) {
        double phase = 0;
        for_span(t0, length, [&](double t, float& s) {
            phase += 2 * kPi * freq / rate_;
            const double env =
                std::min(1.0, t / attack) * std::exp(-t / 1.5) * std::min(1.0, (length - t) / 0.02);
            s += static_cast<float>(
                amp * env * (std::sin(phase) + 0.5 * std::sin(2 * phase) + 0.25 * std::sin(3 * phase)));
        });
    }

    // Noise through a second-order high-pass and low-pass, decaying with the given time
    // constant; `bursts` quick repeats 10 ms apart make a clap.
    void noise_hit(double t0, double hp_hz, double lp_hz, double decay, double amp, int bursts) {
        for (int b = 0; b < bursts; ++b) {
            const double tail = b + 1 == bursts ? decay : 0.004;
            Biquad hp(true, hp_hz, rate_), lp(false, lp_hz, rate_);
            for_span(t0 + 0.01 * b, tail * 6, [&](double t, float& s) {
                s += static_cast<float>(amp * std::exp(-t / tail) * lp.run(hp.run(noise())) * 2);
            });
        }
    }

    // A snare: a clap-like noise burst over a short 190 Hz body.
    void snare(double t0, double amp) {
        noise_hit(t0, 1500, 9000, 0.08, amp, 1);
        double phase = 0;
        for_span(t0, 0.15, [&](double t, float& s) {
            phase += 2 * kPi * 190 / rate_;
            s += static_cast<float>(0.5 * amp * std::min(1.0, t / 0.001) * std::exp(-t / 0.03) *
                                    std::sin(phase));
        });
    }

    // Pink noise over the whole track (Paul Kellet's filter of white noise).
    void pink(double amp) {
        double b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0;
        for (float& s : out) {
            const double w = noise();
            b0 = 0.99886 * b0 + w * 0.0555179;
            b1 = 0.99332 * b1 + w * 0.0750759;
            b2 = 0.96900 * b2 + w * 0.1538520;
            b3 = 0.86650 * b3 + w * 0.3104856;
            b4 = 0.55000 * b4 + w * 0.5329522;
            b5 = -0.7616 * b5 - w * 0.0168980;
            s += static_cast<float>(amp * 0.2 * (b0 + b1 + b2 + b3 + b4 + b5 + b6 + w * 0.5362));
            b6 = w * 0.115926;
        }
    }

    // Scales the track and clips it to full scale, as a master would.
    void scale(double gain) {
        for (float& s : out) s = static_cast<float>(std::clamp(s * gain, -1.0, 1.0));
    }

    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }

    std::vector<float> out;

  private:
    double noise() { return std::uniform_real_distribution<double>(-1, 1)(rng_); }

    template <typename F> void for_span(double t0, double length, F f) {
        const long begin = std::lround(t0 * rate_);
        const long end = std::min(static_cast<long>(out.size()), begin + std::lround(length * rate_));
        for (long i = std::max(begin, 0L); i < end; ++i) f(static_cast<double>(i - begin) / rate_, out[i]);
    }

    const float rate_;
    std::mt19937 rng_;
};

// One style of music: which of eight eighth-note slots of a bar carry what.
struct Style {
    const char* name;
    double bpm;
    double level_db; // the loudest kick's peak, dBFS
    unsigned kick_slots, clap_slots, snare_slots, bass_slots;
    int hat_per_slot;       // closed hats per eighth note (0, 1 or 2)
    bool open_hats;         // open hats on the off-beats
    double bass_db;         // bass level relative to the kick
    double bass_attack;     // seconds
    double bass_len;        // note length in eighth notes
    double velocity_spread; // kick levels vary by up to this many dB below the loudest
    double pink_db;         // pink noise level relative to the kick, when the bass is held into the kicks
};

// Kicks at least a quarter note apart and leading the low end: bass lines 18 dB below them.
const Style kStyles[] = {
    // name       bpm   level  kicks  claps  snares bass   hats open  bass  att    len  vel  pink
    {"hiphop", 80, -30, 0x29, 0x44, 0x00, 0x29, 2, false, -18, 0.005, 2.0, 4, -40},
    {"boombap", 92, -6, 0x29, 0x00, 0x44, 0x29, 1, false, -18, 0.005, 2.0, 3, -45},
    {"rock", 110, -12, 0x11, 0x00, 0x44, 0xFF, 1, false, -18, 0.010, 1.0, 3, -40},
    {"house", 124, -3, 0x55, 0x44, 0x00, 0xAA, 1, true, -18, 0.015, 1.0, 1, -45},
    {"techno", 132, 0, 0x55, 0x00, 0x00, 0xAA, 2, true, -18, 0.010, 1.0, 2, -35},
    {"trance", 140, -18, 0x55, 0x44, 0x00, 0xAA, 2, false, -18, 0.015, 1.0, 1, -40},
    {"electro", 150, -24, 0x25, 0x44, 0x00, 0x82, 1, false, -18, 0.020, 1.0, 3, -40},
    {"dnb", 160, -9, 0x21, 0x00, 0x44, 0x21, 2, false, -18, 0.005, 5.0, 4, -40},
};

// Patterns with two kicks an eighth note apart.
const Style kDoubleKickStyles[] = {
    {"boombap2", 92, -6, 0x19, 0x00, 0x44, 0x19, 1, false, -18, 0.005, 2.0, 3, -45},
    {"rock2", 110, -12, 0x31, 0x00, 0x44, 0xFF, 1, false, -18, 0.010, 1.0, 3, -40},
    {"electro2", 150, -24, 0x95, 0x44, 0x00, 0x82, 1, false, -18, 0.020, 1.0, 3, -40},
};

struct Track {
    std::string name;
    std::vector<float> audio;
    std::vector<double> onsets; // kick onsets, seconds
    double period = 0;
};

const double kBassNotes[] = {41.2, 49.0, 55.0, 61.7, 73.4, 82.4, 98.0};

// How the bass line and the noise bed sit against the kicks.
enum class Mixing {
    // Produced for the kick: each bass note ends 120 ms before the next kick (off-beat bass,
    // sidechain ducking, or an 808 note starting with its kick), the noise bed 60 dB down.
    KickLed,
    // Bass notes held into the next kick, the noise bed at the style's level.
    BassUnderKick,
};

Track make_track(const Style& st, double seconds, unsigned seed, Mixing mixing = Mixing::KickLed) {
    Mix mix(seconds, kRate, seed);
    const double eighth = 30.0 / st.bpm;
    const double amp = 0.7; // the mix is scaled to the style's level at the end
    Track tr;
    tr.name = st.name;
    tr.period = 60.0 / st.bpm;
    auto next_kick = [&](int slot) {
        int k = slot + 1;
        while (!(st.kick_slots & (1u << (k % 8)))) ++k;
        return 0.25 + k * eighth;
    };
    int note = 0;
    for (int slot = 0; (slot + 1) * eighth < seconds - 0.5; ++slot) {
        const double t = 0.25 + slot * eighth;
        const unsigned bit = 1u << (slot % 8);
        if (st.kick_slots & bit) {
            mix.kick(t, amp * db_to_amp(-mix.uniform(0, st.velocity_spread)));
            tr.onsets.push_back(t);
        }
        if (st.clap_slots & bit) mix.noise_hit(t + 0.001, 800, 2500, 0.06, amp * 0.35, 3);
        if (st.snare_slots & bit) mix.snare(t, amp * 0.4);
        if (st.bass_slots & bit) {
            if (slot % 8 == 0) note = static_cast<int>(mix.uniform(0, 7));
            double len = st.bass_len * eighth;
            if (mixing == Mixing::KickLed) len = std::min(len, next_kick(slot) - t - 0.12);
            mix.bass(t, len, kBassNotes[(note + slot % 3) % 7], amp * db_to_amp(st.bass_db), st.bass_attack);
        }
        for (int h = 0; h < st.hat_per_slot; ++h)
            mix.noise_hit(t + h * eighth / 2, 7000, 18000, 0.03, amp * 0.2, 1);
        if (st.open_hats && slot % 2 == 1) mix.noise_hit(t, 6000, 18000, 0.15, amp * 0.15, 1);
    }
    mix.pink(amp * db_to_amp(mixing == Mixing::KickLed ? -60 : st.pink_db));
    mix.scale(db_to_amp(st.level_db) / amp);
    tr.audio = std::move(mix.out);
    return tr;
}

struct Score {
    int truth = 0, detected = 0, hits = 0;
    double precision() const { return detected ? static_cast<double>(hits) / detected : 1.0; }
    double recall() const { return truth ? static_cast<double>(hits) / truth : 1.0; }
    void add(const Score& o) {
        truth += o.truth;
        detected += o.detected;
        hits += o.hits;
    }
};

// Onsets (seconds) of the kicks the detector reports when fed in 10 ms pieces, as the beat
// tracker does, with `period` set before each piece.
std::vector<double> detect(const std::vector<float>& audio, float rate, double period,
                           kick::Detector* out = nullptr) {
    kick::Detector d;
    std::vector<double> found;
    const int piece = static_cast<int>(rate / 100);
    for (size_t i = 0; i < audio.size(); i += piece) {
        d.period = static_cast<float>(period);
        const int n = static_cast<int>(std::min<size_t>(piece, audio.size() - i));
        if (d.feed(audio.data() + i, n, rate) > 0) found.push_back(static_cast<double>(d.onset_at) / rate);
    }
    if (out) *out = d;
    return found;
}

// Each detection matches at most one true onset within 15 ms, and the other way round.
Score score(const std::vector<double>& truth, const std::vector<double>& found) {
    Score s;
    s.truth = static_cast<int>(truth.size());
    s.detected = static_cast<int>(found.size());
    std::vector<bool> used(truth.size(), false);
    for (double f : found) {
        for (size_t i = 0; i < truth.size(); ++i) {
            if (!used[i] && std::fabs(truth[i] - f) <= 0.015) {
                used[i] = true;
                ++s.hits;
                break;
            }
        }
    }
    return s;
}

int count_kicks(const std::vector<float>& audio, float rate, double period = 0) {
    return static_cast<int>(detect(audio, rate, period).size());
}

const double kLowNotes[] = {41.2, 43.7, 49.0, 55.0, 58.3, 61.7, 65.4};
const double kHighNotes[] = {82.4, 98.0, 110.0, 123.5, 130.8, 146.8, 164.8};

// Twelve seconds of a bass line whose notes (eighths at `bpm`) glide into each other within
// 10 ms at a steady level, faded in at 20 dB per second.
std::vector<float> legato_line(const double (&notes)[7], double bpm, bool harmonics) {
    std::vector<float> line(12 * 48000);
    double phase = 0, freq = notes[0];
    const double note_len = 30.0 / bpm;
    for (size_t i = 0; i < line.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        freq +=
            (notes[static_cast<int>(t / note_len) * 5 % 7] - freq) * (1 - std::exp(-1.0 / (0.01 * kRate)));
        phase += 2 * kPi * freq / kRate;
        const double amp = db_to_amp(std::min(-90 + 20 * t, -6.0));
        line[i] = static_cast<float>(
            amp *
            (std::sin(phase) + (harmonics ? 0.5 * std::sin(2 * phase) + 0.25 * std::sin(3 * phase) : 0)));
    }
    return line;
}

// A note rising at a steady number of dB per second from far below the detector's floor.
std::vector<float> swelling_note(double freq, double db_per_s, bool harmonics) {
    std::vector<float> x(6 * 48000);
    for (size_t i = 0; i < x.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double amp = db_to_amp(std::min(-90 + db_per_s * t, -6.0));
        const double ph = 2 * kPi * freq * t;
        x[i] = static_cast<float>(
            amp * (std::sin(ph) + (harmonics ? 0.5 * std::sin(2 * ph) + 0.25 * std::sin(3 * ph) : 0)));
    }
    return x;
}

// Runs each style through the detector twice, without a tempo and with the beat period set as
// the beat tracker sets it, prints a line per track and returns the totals of both runs.
std::vector<Score> run_material(const std::vector<Style>& styles, Mixing mixing, const char* title) {
    std::vector<Score> total(2);
    std::printf("%s\n", title);
    for (int with_tempo = 0; with_tempo < 2; ++with_tempo) {
        unsigned seed = 11;
        for (const Style& st : styles) {
            const Track tr = make_track(st, 24, seed++, mixing);
            const Score s = score(tr.onsets, detect(tr.audio, kRate, with_tempo ? tr.period : 0));
            std::printf("  %-8s %3.0f BPM %+4.0f dBFS  period %-3s  kicks %3d  reported %3d  precision %.3f  "
                        "recall %.3f\n",
                        tr.name.c_str(), st.bpm, st.level_db, with_tempo ? "set" : "0", s.truth, s.detected,
                        s.precision(), s.recall());
            total[with_tempo].add(s);
        }
        const Score& t = total[with_tempo];
        std::printf("  all, period %-3s: kicks %d, reported %d, precision %.3f, recall %.3f\n",
                    with_tempo ? "set" : "0", t.truth, t.detected, t.precision(), t.recall());
    }
    return total;
}

} // namespace

TEST(KickDetector, FindsTheKicksOfKickLedMusic) {
    const std::vector<Score> total = run_material({std::begin(kStyles), std::end(kStyles)}, Mixing::KickLed,
                                                  "Kick-led mixes (bass 18 dB down, off the kicks):");
    for (const Score& t : total) {
        EXPECT_GE(t.precision(), 0.95);
        EXPECT_GE(t.recall(), 0.95);
    }
}

// Harder material: a kick an eighth note after another (it rises from the first one's tail), a
// bass note held into each kick, a bass line only 10 dB below the kicks, and legato bass lines
// of full notes stepping across 75 Hz, which must give no kicks at all.
TEST(KickDetector, FiguresOnHarderMusic) {
    const std::vector<Score> doubles =
        run_material({std::begin(kDoubleKickStyles), std::end(kDoubleKickStyles)}, Mixing::KickLed,
                     "Double kicks an eighth note apart:");
    const std::vector<Score> held = run_material({std::begin(kStyles), std::end(kStyles)},
                                                 Mixing::BassUnderKick, "Bass held into the kicks:");
    std::vector<Style> loud(std::begin(kStyles), std::end(kStyles));
    for (Style& st : loud) st.bass_db = -10;
    const std::vector<Score> loud_bass =
        run_material(loud, Mixing::KickLed, "Bass 10 dB down, off the kicks:");
    for (const auto* notes : {&kBassNotes, &kHighNotes}) {
        for (double bpm : {90.0, 128.0}) {
            const int kicks = count_kicks(legato_line(*notes, bpm, true), kRate);
            std::printf("Legato line of full notes %.0f-%.0f Hz at %.0f BPM: %d kicks in 12 s\n", (*notes)[0],
                        (*notes)[6], bpm, kicks);
            EXPECT_EQ(kicks, 0);
        }
    }
    // Measured: doubles 1.000/0.958 with and without the beat period (0.908 and 0.941 before a
    // kick with a beater's attack and a high start could rise less from the one before, 0.924
    // and 0.950 before a kick with plain proof of a drum could lie 8 dB below the peak of the
    // kicks before it), held bass 0.997/0.954 and 0.997/0.967, loud bass 0.987/0.970 and
    // 0.983/0.977 (precision/recall without and with the beat period). The loud bass's notes
    // come with hats, whose attack alone once made them kicks (precision 0.83): the bass's
    // fundamental fills the band below 75 Hz from the start, a kick's does not (0.97), and a
    // note's level keeps up and ripples at its pitch where a kick's decays (0.98).
    for (const auto* set : {&doubles, &held, &loud_bass}) {
        for (const Score& t : *set) {
            EXPECT_GE(t.precision(), set == &loud_bass ? 0.97 : 0.98);
            EXPECT_GE(t.recall(), set == &doubles ? 0.95 : 0.91);
        }
    }
}

// Kicks over a held pure tone (a sub bass under the drums) beat with it, and so ripple as a
// bass note alone does; but their level decays, and they are kicks.
TEST(KickDetector, KicksOverAHeldToneCount) {
    Score total;
    unsigned seed = 31;
    for (double freq : {41.2, 55.0, 73.4}) {
        for (double db : {-12.0, -18.0}) {
            Mix mix(12, kRate, seed++);
            const double amp = 0.6 * db_to_amp(db);
            for (size_t i = 0; i < mix.out.size(); ++i)
                mix.out[i] = static_cast<float>(amp * std::sin(2 * kPi * freq * static_cast<double>(i) / kRate));
            std::vector<double> truth;
            for (double t = 0.5; t < 11.5; t += 0.5) {
                mix.kick(t, 0.6);
                truth.push_back(t);
            }
            const Score s = score(truth, detect(mix.out, kRate, 0));
            std::printf("Kicks over a held %.0f Hz tone %+.0f dB: kicks %d, reported %d, precision %.3f, recall %.3f\n",
                        freq, db, s.truth, s.detected, s.precision(), s.recall());
            total.add(s);
        }
    }
    // Measured 1.000 and 0.977 (0.735 before a kick with a beater's attack could rise less, 0.924
    // while the test of a held note let a kick's level fall by up to 1 dB from 26 to 42 ms, 0.947
    // before a kick with plain proof of a drum could lie 8 dB below the peak of those before it).
    EXPECT_GE(total.precision(), 0.98);
    EXPECT_GE(total.recall(), 0.95);
}

TEST(KickDetector, SilenceAndInvalidInputGiveNothing) {
    kick::Detector d;
    const std::vector<float> silence(10 * 48000, 0.0f);
    EXPECT_EQ(d.feed(silence.data(), static_cast<int>(silence.size()), 48000), 0);
    EXPECT_EQ(d.kicks, 0);
    EXPECT_EQ(d.blocks, 5000);

    kick::Detector e;
    EXPECT_EQ(e.feed(silence.data(), 100, 7999), 0);
    EXPECT_EQ(e.feed(nullptr, 100, 48000), 0);
    EXPECT_EQ(e.feed(silence.data(), 0, 48000), 0);
    EXPECT_EQ(e.feed(silence.data(), -5, 48000), 0);
    EXPECT_EQ(e.feed(silence.data(), 100, std::nanf("")), 0);
    EXPECT_EQ(e.samples, 0);
    EXPECT_EQ(e.rate, 0);
    EXPECT_EQ(e.block_len, 96);
}

TEST(KickDetector, FilterStatesClearInSilence) {
    // Left alone, the states would hang in subnormal numbers, which are slow on many processors.
    Mix mix(3, kRate, 6);
    mix.kick(0.2, 0.9);
    kick::Detector d;
    d.feed(mix.out.data(), static_cast<int>(mix.out.size()), kRate);
    for (const kick::Detector::Section& s : d.sections) {
        EXPECT_EQ(s.z1, 0);
        EXPECT_EQ(s.z2, 0);
    }
    EXPECT_EQ(d.kicks, 1);
}

TEST(KickDetector, SlowSwellAndSustainedBassGiveNone) {
    // Swelling 20 dB per second (0.6 dB in 30 ms): a pure 55 Hz tone and a full 110 Hz note
    // open no candidate at all.
    for (const auto& [freq, harmonics] : {std::pair{55.0, false}, std::pair{110.0, true}}) {
        const std::vector<float> x = swelling_note(freq, 20, harmonics);
        kick::Detector d;
        int candidates = 0;
        for (size_t i = 0; i < x.size(); i += 96) {
            d.feed(x.data() + i, 96, kRate);
            candidates += d.open;
        }
        EXPECT_EQ(candidates, 0) << freq;
        EXPECT_EQ(d.kicks, 0) << freq;
    }
    // Lower full notes ripple in the 4 ms window of the 35-300 Hz band and may open
    // candidates, but none is confirmed.
    for (double freq : {41.2, 55.0, 82.4})
        EXPECT_EQ(count_kicks(swelling_note(freq, 20, true), kRate), 0) << freq;

    // Legato bass lines at a steady level: pure tones gliding between 41 and 98 Hz, and full
    // notes that stay below the 75 Hz edge of the confirming band.
    for (double bpm : {90.0, 128.0}) {
        EXPECT_EQ(count_kicks(legato_line(kBassNotes, bpm, false), kRate), 0) << bpm;
        EXPECT_EQ(count_kicks(legato_line(kBassNotes, bpm, false), kRate, 60 / bpm), 0) << bpm;
        EXPECT_EQ(count_kicks(legato_line(kLowNotes, bpm, true), kRate), 0) << bpm;
        EXPECT_EQ(count_kicks(legato_line(kLowNotes, bpm, true), kRate, 60 / bpm), 0) << bpm;
    }
}

TEST(KickDetector, SameKicksWhateverThePieceSizes) {
    const Track tr = make_track(kStyles[3], 12, 99);
    kick::Detector whole;
    whole.period = static_cast<float>(tr.period);
    const int n_whole = whole.feed(tr.audio.data(), static_cast<int>(tr.audio.size()), kRate);
    ASSERT_GT(n_whole, 10);

    kick::Detector parts;
    parts.period = whole.period;
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> size(1, 997);
    int n_parts = 0;
    for (size_t i = 0; i < tr.audio.size();) {
        const int n = static_cast<int>(std::min<size_t>(size(rng), tr.audio.size() - i));
        n_parts += parts.feed(tr.audio.data() + i, n, kRate);
        i += n;
    }
    EXPECT_EQ(n_parts, n_whole);
    EXPECT_EQ(parts.kicks, whole.kicks);
    EXPECT_EQ(parts.kicks_early, whole.kicks_early);
    EXPECT_EQ(parts.kicks_confirmed, whole.kicks_confirmed);
    EXPECT_EQ(parts.kicks_unconfirmed, whole.kicks_unconfirmed);
    EXPECT_EQ(parts.report_at, whole.report_at);
    EXPECT_EQ(parts.onset_at, whole.onset_at);
    EXPECT_EQ(parts.blocks, whole.blocks);
    EXPECT_EQ(parts.thr_a, whole.thr_a);
    EXPECT_EQ(parts.thr_b, whole.thr_b);
    EXPECT_TRUE(
        std::equal(parts.kick_blocks, parts.kick_blocks + kick::Detector::kKickRing, whole.kick_blocks));
}

TEST(KickDetector, RateChangeRestartsButKeepsCountAndPeriod) {
    const Track tr = make_track(kStyles[4], 6, 5);
    kick::Detector d;
    d.period = 0.5f;
    d.feed(tr.audio.data(), static_cast<int>(tr.audio.size()), kRate);
    const int before = d.kicks;
    ASSERT_GT(before, 5);
    const float one = 0;
    d.feed(&one, 1, 44100);
    EXPECT_EQ(d.kicks, before);
    EXPECT_EQ(d.period, 0.5f);
    EXPECT_EQ(d.rate, 44100);
    EXPECT_EQ(d.block_len, 88);
    EXPECT_EQ(d.samples, 1);
    EXPECT_EQ(d.blocks, 0);
    EXPECT_EQ(d.kick_count, 0);
    EXPECT_EQ(d.thr_a, 14);
    EXPECT_EQ(d.kicks_confirmed, 0);
    // And it goes on finding kicks at the new rate.
    Mix mix(3, 44100, 8);
    for (int i = 0; i < 5; ++i) mix.kick(0.3 + 0.5 * i, 0.5);
    d.feed(mix.out.data(), static_cast<int>(mix.out.size()), 44100);
    EXPECT_EQ(d.kicks, before + 5);
}

TEST(KickDetector, EarlyReportsOnTheBeatGridFromTheThirdKick) {
    Mix mix(6, kRate, 21);
    std::vector<double> truth;
    for (int i = 0; i < 10; ++i) {
        mix.kick(0.3 + 0.5 * i, 0.6, 0.08);
        truth.push_back(0.3 + 0.5 * i);
    }
    // With a tempo: from the third kick on, reported at the candidate's start.
    kick::Detector d;
    const int piece = 480;
    int early_seen = 0;
    for (size_t i = 0; i < mix.out.size(); i += piece) {
        d.period = 0.5f;
        const int before_early = d.kicks_early;
        if (d.feed(mix.out.data() + i, piece, kRate) > 0) {
            const int kick_no = d.kicks;
            if (d.kicks_early > before_early) {
                ++early_seen;
                EXPECT_GE(kick_no, 3);
                EXPECT_EQ(d.report_at, d.onset_at);
            } else {
                EXPECT_LE(kick_no, 2) << "kick " << kick_no << " was not reported early";
                EXPECT_GT(d.report_at, d.onset_at);
            }
            EXPECT_NEAR(static_cast<double>(d.onset_at) / kRate, truth[kick_no - 1], 0.015);
        }
    }
    EXPECT_EQ(d.kicks, 10);
    EXPECT_EQ(early_seen, 8);
    EXPECT_EQ(d.kicks_early, 8);
    EXPECT_EQ(d.kicks_unconfirmed, 0);
    EXPECT_EQ(d.kick_count, 10);

    // Without a tempo every kick waits for its confirmation, with the onset where band B rose.
    kick::Detector plain;
    const std::vector<double> found = detect(mix.out, kRate, 0, &plain);
    EXPECT_EQ(plain.kicks_early, 0);
    EXPECT_EQ(plain.kicks_confirmed, 10);
    EXPECT_GT(plain.report_at, plain.onset_at);
    EXPECT_EQ(score(truth, found).hits, 10);
}

TEST(KickDetector, EarlyReportWithoutConfirmationCountsAsUnconfirmed) {
    // Kicks on a 0.5 s grid, then on the grid a 190 Hz knock that opens a candidate (band B)
    // but has no energy below 75 Hz to confirm it.
    Mix mix(3, kRate, 4);
    for (int i = 0; i < 4; ++i) mix.kick(0.3 + 0.5 * i, 0.6);
    mix.snare(2.3, 0.8);
    kick::Detector d;
    std::vector<double> found = detect(mix.out, kRate, 0.5, &d);
    EXPECT_EQ(d.kicks, 5);
    EXPECT_EQ(d.kicks_early, 3);
    EXPECT_EQ(d.kicks_unconfirmed, 1);
    EXPECT_EQ(d.kick_count, 4);
    EXPECT_FALSE(d.open);
}

TEST(KickDetector, ThresholdsRiseWithAKickAndDecay) {
    Mix mix(1.5, kRate, 2);
    mix.kick(0.2, 0.8);
    kick::Detector d;
    size_t i = 0;
    bool was_open = false;
    for (; i + 96 <= mix.out.size(); i += 96) {
        d.feed(mix.out.data() + i, 96, kRate);
        if (was_open && !d.open) break;
        was_open = d.open;
    }
    ASSERT_EQ(d.kicks, 1);
    ASSERT_FALSE(d.open);
    // A kick out of silence rises far more than 20 dB: both thresholds go to the cap when the
    // candidate closes, and then decay by 0.99965 per block.
    EXPECT_EQ(d.thr_a, 20);
    EXPECT_EQ(d.thr_b, 20);
    const int64_t blocks = d.blocks;
    d.feed(mix.out.data() + i + 96, static_cast<int>(mix.out.size() - i - 96), kRate);
    EXPECT_EQ(d.kicks, 1);
    EXPECT_NEAR(d.thr_a, 20 * std::pow(0.99965, static_cast<double>(d.blocks - blocks)), 0.01);
}

TEST(KickDetector, BeatGrid) {
    kick::Detector d;
    d.period = 0.5f; // 250 blocks
    EXPECT_FALSE(d.known(1000));
    d.kick_blocks[0] = 500; // two beats back
    d.kick_blocks[1] = 750; // one beat back
    d.kick_count = 2;
    EXPECT_TRUE(d.known(1000));
    EXPECT_TRUE(d.known(1017));
    EXPECT_FALSE(d.known(1018)); // one beat back allows 17 blocks
    EXPECT_TRUE(d.known(983));
    EXPECT_FALSE(d.known(982));
    d.kick_blocks[0] = 481; // two beats back allows 19
    EXPECT_TRUE(d.known(1000));
    d.kick_blocks[0] = 480;
    EXPECT_FALSE(d.known(1000));
    d.kick_blocks[0] = 500;
    d.kick_blocks[1] = -23; // four beats back instead of one, 23 blocks allowed
    EXPECT_TRUE(d.known(1000));
    d.kick_blocks[1] = -24;
    EXPECT_FALSE(d.known(1000));
    d.kick_count = 1; // entries beyond the count are not kicks
    d.kick_blocks[1] = 750;
    EXPECT_FALSE(d.known(1000));
    d.kick_count = 2;
    d.period = 0.2f;
    EXPECT_FALSE(d.known(1000));
    d.period = 1.25f;
    EXPECT_FALSE(d.known(1000));
}
