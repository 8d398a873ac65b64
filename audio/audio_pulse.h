// The sound routing engine: one per process, reached through free functions.
//
// A control thread keeps a connection to the user's PulseAudio-compatible sound server and,
// pass by pass, makes the server match what was asked: with the equaliser on it loads the
// virtual sink "lumafon", makes it the default, moves the other programs' streams into it,
// records its monitor, equalises every block on libpulse's event-loop thread ("Lumaf-audio")
// and plays the result to the real device; with the equaliser off it only records the real
// device's monitor for the display. Every processed block also goes into a tap ring that the
// window reads, delayed by the measured output latency so that the picture matches the sound.
// The audio thread runs at real-time priority where the system grants it; it keeps our own
// queue in the output near a target that grows after underruns, drops stale sound after any
// disturbance, and stretches the sound slightly to follow a device whose clock drifts.
#pragma once

#include "dsp/eq_dsp.h"

#include <cstdint>
#include <string>
#include <vector>

struct pa_proplist;

namespace audio {

// Name of the virtual sink (its monitor is "lumafon.monitor"); also the icon name.
inline constexpr char kSinkName[] = "lumafon";

// An output device the user may choose.
struct Device {
    std::string name;  // sink name, what set_output takes
    std::string label; // the sink's description, or its name when it has none
};

struct Status {
    int state = 0;                  // 0 connecting, 1 running, 2 no sound server, 3 passive (another copy)
    bool active = false;            // the equaliser path is live (record and playback streams exist)
    std::string output;             // sink the sound is played to; empty when there is no real sink
    std::string output_label;       // its label as in the device list
    bool output_missing = false;    // the chosen output is absent; the followed device is used instead
    std::string follow;             // the real device being followed (store it as the restore hint)
    bool muted = false;             // the output (or, while routing, our sink) is muted
    bool select_output = false;     // the user has to pick "Lumafon" as output by hand
    bool setup_needed = false;      // never set on Linux
    bool permission_needed = false; // never set on Linux
    bool snap_no_sink = false;      // the server refused the virtual sink inside a Snap sandbox
};

// Starts the event-loop thread and the control thread. `takeover`: the engine may make its sink
// the default and move other programs' streams. False when the event loop cannot be started.
bool start(bool takeover);
// Tears the routing down (default restored, sink unloaded) and ends the threads. Idempotent.
void stop();

void set_active(bool on);
void set_output(const std::string& sink); // empty: follow the default device
void set_mute(bool on);
void set_restore_hint(const std::string& sink);
void set_curve(const eq::Curve& curve);

// Copies the newest `count` (at most 8192) stereo frames, or with `delayed` the frames audible
// now. False until the first block has arrived; `rate` and `serial` are filled in any case.
bool tap(float* left, float* right, int count, float* rate, unsigned long* serial, bool delayed);
// Seconds since the newest frame went into the tap (0 before the first): the display delay
// counts from that moment, which may lie up to a block before the read.
float tap_age();
// Peak magnitude per channel of what became audible since the previous call.
void take_peaks(float* left, float* right);
// Current display delay in seconds.
float display_delay();

std::vector<Device> devices();
Status status();
// The status copied into `out` only when it changed since `*serial` (which is then updated);
// false, without copying, when it did not. The window asks every frame and allocates nothing.
bool status_changed(unsigned long* serial, Status* out);

// Hooks of other platforms' system filters; nothing to do here.
void setup_devices();
bool has_system_filter();
void remove_system_filter();

// Clean-up after the program died, on a connection of its own (used by the watchdog process):
// gives the default back to `restore_to` when the virtual sink still holds it, and unloads the
// sink. False when the server could not be reached.
bool rescue(const std::string& restore_to);
// The same for the sink of one module (kNoIndex: the sink named "lumafon"), handing the user's
// volume that was carried into it back to `volume_device` (empty: none). The module is unloaded
// only while it still owns a sink of ours, so that a module number reused after a server restart
// is left alone.
bool rescue(const std::string& restore_to, uint32_t module, const std::string& volume_device);

// ", key value" details of a device's properties (api, bus, vendor, ...) for hardware summaries.
std::string hw_details(const pa_proplist* properties);

// The engine's rules that need no server, open to the tests.
namespace detail {

constexpr uint32_t kNoIndex = 0xFFFFFFFFu;

struct SinkEntry {
    uint32_t index = kNoIndex;
    std::string name;
    std::string description;
    uint32_t owner_module = kNoIndex;
    bool mute = false;
    uint32_t monitor_source = kNoIndex;
    bool ours = false;             // a virtual sink of this program (ours or a stray of another run)
    bool suspended = false;
    std::vector<uint32_t> volume;  // per channel, PulseAudio volume units (0x10000 = 100 %)
};

struct InputEntry {
    uint32_t index = kNoIndex;
    uint32_t sink = kNoIndex;
    uint32_t client = kNoIndex;
    bool ours = false;    // application.name is exactly "Lumafon"
    std::string app_name; // application.name, empty when absent
    std::string target;   // the device the client named when it opened the stream (PipeWire's
                          // target.object), empty when it named none or the server does not say
};

// One reading of the server.
struct Snapshot {
    std::string default_sink;
    std::vector<SinkEntry> sinks;
    std::vector<InputEntry> inputs;
    bool other_instance = false;
};

// Sinks of the sibling programs of the same maker, which may hold the default and feed us.
bool is_upstream_sink(const std::string& name);
// Neither our own sink nor a sibling's.
bool is_real_sink(const std::string& name);
// A sink this program loaded, in this run or another: named "lumafon" or, when the server had to
// rename a second one, "lumafon.N", with the properties the program gives its sink.
bool is_own_kind(const std::string& name, const std::string& icon_name, const std::string& description);
const SinkEntry* find_sink(const Snapshot& snap, const std::string& name);
// Some sibling's own stream plays into the sink `sink_index`.
bool sibling_feeds(const Snapshot& snap, uint32_t sink_index);

// The real device to follow, given the previous one and the remembered hint.
std::string choose_follow(const Snapshot& snap, const std::string& previous, const std::string& hint);

// The device the user wants followed (`wanted`, which may be unplugged for the moment) and the
// one followed now (`used`). A default that the server picked because the previous default
// (`previous_default`) vanished is no choice of the user's; a wanted device that comes back is
// followed again.
struct Follow {
    std::string wanted;
    std::string used;
};
Follow next_follow(const Snapshot& snap, const Follow& previous, const std::string& hint,
                   const std::string& previous_default);

struct Target {
    std::string sink;
    bool missing = false;
};
Target choose_target(const Snapshot& snap, const std::string& follow, const std::string& want_output);

// Inputs of other clients to move into our sink: those on the target, and those on the
// server's default unless a sibling holds it.
std::vector<uint32_t> streams_to_gather(const Snapshot& snap, const std::string& target, uint32_t own_client);
// The same for our sink `own_index`, leaving alone the streams in `pinned` (streams that asked for
// their device).
std::vector<uint32_t> streams_to_gather(const Snapshot& snap, const std::string& target, uint32_t own_client,
                                        uint32_t own_index, const std::vector<uint32_t>& pinned);
// The real device, other than the default, that a stream asked for: the one it named when the
// server says so, else the one it is first seen on; kNoIndex when it asked for none.
uint32_t asked_device(const Snapshot& snap, const InputEntry& input);

// Volume `onto` multiplied by `from`, channel by channel (by `from`'s loudest channel when the
// channel counts differ): what keeps the loudness when a volume moves from one sink to another.
std::vector<uint32_t> carry_volume(const std::vector<uint32_t>& onto, const std::vector<uint32_t>& from);

// Name of the routing lock for a sound server, in `dir`: one copy routes per user and server.
std::string lock_path(const std::string& dir, const std::string& server, unsigned uid);

// Of the inputs whose move into `sink` the server confirmed, those that a later reading still
// shows elsewhere (PipeWire's pulse server sometimes confirms moves it does not make). Inputs that
// have ended meanwhile are gone from the reading and need nothing.
std::vector<uint32_t> not_arrived(const Snapshot& snap, const std::vector<uint32_t>& moved, uint32_t sink);

// Whether the user must pick our sink by hand (the default is someone else's).
bool select_output(const Snapshot& snap, bool takeover, uint32_t own_client);

// The last 64 output latency readings after a (re)start; median, minimum and maximum.
struct LatencyRing {
    float hist[64] = {};
    int pos = 0;
    int n = 0;
    void restart() { pos = n = 0; }
    void add(float frames, float* median, float* lo, float* hi);
};

// One step of the display delay towards `target` frames: exponential with a time constant of
// one second, at most 50 ms per second. `at_ms` is the time of the previous step (0: none).
float follow_delay(float current, float target, uint64_t now_ms, uint64_t at_ms);

// Passes the control loop has run since start (for tests of the back-off).
uint64_t pass_count();

// Appends frames to the tap as the read callback does (for tests of the tap and the peaks).
void push_tap(const float* interleaved, int frames);

// What the output path settled on: the cushion it keeps, the stretch against the device's
// clock, the last measure of our queue (negative: unknown), and its counters since start.
struct PathFigures {
    double target_ms = 0;
    double ppm = 0;
    double queue_ms = -1;
    uint64_t dropped_blocks = 0; // blocks not played because they were stale
    uint64_t underruns = 0;
};
PathFigures path_figures();

// A curve fit for the filter bank: every gain finite and within twice the sliders' range (a
// caller that bypasses the settings could hand in anything). Gains just beyond the range are
// brought back to it in `out`.
bool usable_curve(const eq::Curve& in, eq::Curve* out);

// Keeps the sound waiting in our playback stream (our own queue, not the device's buffer) near
// a target, on the audio thread. A disturbance that leaves the queue far above the target (a
// stall of the program, a suspended or switched device) is undone by dropping stale sound; an
// underrun raises the target, which shrinks back after a calm minute; a device whose clock
// runs apart from the system clock is followed by stretching the sound a little (`ppm`).
struct QueueControl {
    // 30 ms with 15 ms record blocks left too little margin on an idle machine (underruns where
    // 40 ms had none).
    static constexpr double kMinTargetMs = 40;
    // Beyond 70 ms of added latency only while the machine is so busy that less would crackle;
    // calm minutes bring it back step by step.
    static constexpr double kMaxTargetMs = 120;
    static constexpr double kGrowMs = 10;
    static constexpr double kShrinkMs = 5;
    // A cushion that proved too small is not tried again soon: each underrun doubles the calm
    // time asked before the next shrink (up to kMaxCalmMs), and each calm time passed at the
    // smallest cushion halves it again.
    static constexpr uint64_t kCalmMs = 60000;
    static constexpr uint64_t kMaxCalmMs = 960000;
    // Jitter of the record side and of the device tolerated above the target.
    static constexpr double kSlackMs = 30;
    // Stale sound shows as a queue whose lowest point stays above target + slack for a whole
    // window (the lowest of four quarters, so that it is looked at four times a window). The
    // queue's peaks say nothing: a server hands sound over and takes it in bursts, and PipeWire's
    // timing, read between its reports, overstates the queue by tens of milliseconds. Only what
    // lies above the target at that lowest point is dropped, counted in advance: a drop that ran
    // until the measure came down would never end where the measure does not come down (it
    // silenced PipeWire's output for good once its queue ran dry).
    static constexpr uint64_t kLowWindowMs = 1000;
    static constexpr int kLowQuarters = 4;
    // The average queue is taken over a second and then smoothed (a quarter per second), since a
    // device takes sound in chunks and the timing updates come in steps.
    static constexpr double kSmoothing = 0.25;
    // 0.2 %: a third of a semitone's hundredth, far below what an ear notices.
    static constexpr double kMaxPpm = 2000;
    // The device's drift counts once measured over this many seconds without a jump of the queue,
    // when it lies this many standard errors from zero and is at least kMinDriftPpm, in as many
    // seconds in a row as kSureSeconds (and is let go after as many without, in a fit of at least
    // kForgetSeconds).
    static constexpr int kFitSeconds = 8;
    static constexpr int kSureSeconds = 4;
    static constexpr double kSureSigmas = 4;
    static constexpr double kMinDriftPpm = 50;
    static constexpr int kForgetSeconds = 20;
    // No sound card's crystal is off by more than this; a steeper slope is a device settling (one
    // that fills a deep buffer of its own at first), not its clock.
    static constexpr double kMaxDriftPpm = 1000;
    static constexpr double kFade = 0.98; // per second: the fit remembers about the last minute
    // Leading the queue back to its target beside a drift: within ± band nothing, beyond it this
    // gain, at most this much.
    static constexpr double kBandMs = 5;
    static constexpr double kGainPpmPerMs = 20;
    static constexpr double kMaxCorrectionPpm = 300;
    // The stretch changes by at most this much per second: no audible wobble.
    static constexpr double kSlewPpmPerS = 100;

    double target_ms = kMinTargetMs;
    double ppm = 0;       // stretch of the sound: positive gives the device more frames than come in
    double drift_ppm = 0; // the device's measured drift: positive when it runs fast
    int sure = 0;         // seconds in a row the drift was clear (at most kSureSeconds)
    // After a stall of our own the backlog is stale at once, for at most this long.
    static constexpr uint64_t kStallGraceMs = 1000;
    bool stalled = false;
    uint64_t stalled_at = 0;
    int stall_drops = 0;
    uint64_t last_block_at = 0;
    bool dropping = false;
    double excess_ms = 0;  // stale sound still to be dropped
    double low_ms[kLowQuarters] = {-1, -1, -1, -1}; // lowest queue per quarter window (-1: none)
    int quarter = 0;
    uint64_t quarter_at = 0;
    double smooth_ms = -1;
    double level_sum = 0;
    // The device's own buffer at the last report. A device (or a server thread feeding it) takes
    // sound from our queue in chunks, which makes our queue a saw-tooth that hides a drift for
    // minutes; what it took still waits in its buffer, so the two together fall smoothly at the
    // pace of its clock, and the drift is measured on them.
    double device_ms = 0;
    double clock_sum = 0;
    int level_n = 0;
    uint64_t window_at = 0;
    uint64_t calm_since = 0;
    uint64_t calm_ms = kCalmMs;
    uint64_t restarted_at = 0;
    // Weighted sums of the fit of the queue (less our stretch) against time since the last jump.
    struct Fit {
        double w = 0, t = 0, u = 0, tt = 0, tu = 0, uu = 0;
        int n = 0;
    };
    Fit fit;
    uint64_t fit_at = 0;
    double stretched_ms = 0; // what our stretch has added to the queue since the last jump
    // The first moments of a stream (prebuffering, the device settling) say nothing about its
    // clock or the jitter to ride out.
    static constexpr uint64_t kSettleMs = 2000;

    // A new output device: its clock is not known yet.
    void restart(uint64_t now_ms);
    // Whether a block of `block_ms` may be played while `queue_ms` wait in the output. Also
    // follows the average queue (once a second: the stretch) and shrinks a target that has been
    // calm. `changed` is set when the target moved. `more_waiting`: more sound has come in behind
    // this block already (a backlog is still being read). `held`: the server holds the queue
    // without playing it; nothing is dropped then.
    bool admit(double queue_ms, double block_ms, uint64_t now_ms, bool* changed, bool more_waiting = false,
               bool held = false);
    // The output ran dry: nothing more is dropped, and unless `grow` is false (the aftermath of a
    // stall of our own) the target grows. True when it grew.
    bool underrun(uint64_t now_ms, bool grow = true);
    // We stalled (no block for a while): what comes in beyond the target is stale.
    void stall(uint64_t now_ms);
    // The queue jumped (sound dropped, an underrun, a stall): the fit of its course starts again;
    // the drift found so far stays.
    void jump(uint64_t now_ms);
    // Once a second: the average queue, its drift and the stretch that follows.
    void follow_clock(double mean_ms, uint64_t now_ms, double span_s);
    // Keeps the lowest queue of the last window; returns what of it lies beyond target + slack
    // (0: nothing stale).
    double stale_ms(double queue_ms, uint64_t now_ms);
    void forget_lows(uint64_t now_ms);
    // Stale sound was dropped: the queue's course starts afresh at its new level.
    void landed(uint64_t now_ms);
};

// Stretches interleaved stereo by a ratio within a few thousandths of one (windowed-sinc
// interpolation, eight taps) with a constant delay of four frames; at ratio one it only copies.
// The output holds at most `frames` + 2 frames. Allocates only when a block is larger than any
// before.
class Stretcher {
  public:
    int process(const float* in, int frames, double ratio);
    const float* output() const { return out_.data(); }
    void reserve(int frames);

  private:
    static constexpr int kHistory = 7;
    float hist_[2 * kHistory] = {};
    double pos_ = kHistory - 4; // where the next output frame lies, counted from the history's start
    std::vector<float> work_;
    std::vector<float> out_;
};

} // namespace detail
} // namespace audio
