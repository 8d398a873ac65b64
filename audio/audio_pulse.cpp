#include "audio/audio_pulse.h"

#include "core/logger.h"
#include "desktop/crash_handler_linux.h"
#include "desktop/guard_linux.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include <gio/gio.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace audio {

using detail::InputEntry;
using detail::kNoIndex;
using detail::SinkEntry;
using detail::Snapshot;

namespace {

constexpr int kRate = 48000;
constexpr int kFrameBytes = 8; // float stereo
constexpr int kTapFrames = 32768;
constexpr int kTapMask = kTapFrames - 1;
constexpr int kMaxTapRead = 8192;
constexpr float kMaxDelayFrames = 24576; // 512 ms
// The record fragment sets the rhythm of the path: the server renders our sink and hands its
// monitor over at this pace, and we write to the output as often. 15 ms costs a third less CPU
// (ours and the server's) than 10 ms for about as much delay; 20 ms saves a little more but
// adds some 20 ms, which the cushion needs under load.
constexpr int kFragmentMs = 15;
// No block for this long: the program (or the server) stalled, and what arrives next is stale.
constexpr uint64_t kStallMs = 150;
constexpr int kRequestTimeoutMs = 5000;
// Checks, 100 ms apart, that the default became ours before the environment counts as one that
// refuses it. On PipeWire the change goes through WirePlumber, which on a busy machine can take
// more than a second; a refusal taken for granted too early would end the takeover for good.
constexpr int kClaimChecks = 30;
// An environment counts as one that refuses the default only once claims have failed for this
// long, whatever the server answered: a server that is still starting, or busy, refuses or
// ignores a claim that it accepts a few seconds later (PipeWire's pulse server answers "not
// supported" while WirePlumber is not up, and a WirePlumber that is starting applies a new
// default seconds late). Giving up early would leave the user's sound unequalised for good.
constexpr uint64_t kClaimPatienceMs = 20000;
// How long the default must hold still before we claim it (see claim_default).
constexpr int kClaimHoldMs = 150;
// Rounds of moving streams and checking that they arrived (see move_inputs).
constexpr int kMoveRounds = 4;

const char* const kSiblings[] = {"tessamorlo", "quenbirrow", "fandrelle", "ostrevane", "pellicordo"};
const char* const kAppName = "Lumafon";
const char* const kSinkArgs = " rate=48000 channels=2 channel_map=front-left,front-right "
                              "sink_properties='device.description=Lumafon monitor.channel-volumes=true "
                              "device.icon_name=lumafon'";

// ---- Threads, connection and streams. Handles and names are touched only under the main-loop
// lock (callbacks run with it held).
pa_threaded_mainloop* g_ml = nullptr;
std::thread g_thread;
pa_context* g_ctx = nullptr;
std::atomic<bool> g_ctx_lost{false};
pa_stream* g_rec = nullptr;
pa_stream* g_play = nullptr;
std::string g_rec_source;
std::string g_play_sink;
// Also read by tap() on the window thread, hence atomic.
std::atomic<bool> g_rec_routed{false};

// ---- Requests of the rest of the program, status and device list.
std::mutex g_mtx;
std::condition_variable g_cv;
bool g_want_active = false;
std::string g_want_output;
std::string g_restore_hint;
int g_want_mute = -1;
bool g_takeover = true;
bool g_dirty = true;
bool g_quit = false;
Status g_status;
unsigned long g_status_serial = 1; // counts the changes of g_status (under g_mtx)
std::vector<Device> g_devices;

// ---- Curve and filter bank. The version counter spares the audio thread the lock on every
// block where nothing changed.
std::mutex g_curve_mtx;
eq::Curve g_curve;
std::atomic<int> g_curve_version{1};
int g_applied_version = 0;
eq::Processor g_proc;
std::vector<float> g_scratch;
int g_pending = 0; // frames gathered in g_scratch, not yet processed

// ---- The output queue, its target and the stretch against the device's clock (audio thread;
// the control thread touches them only with the main-loop lock held, which callbacks hold too).
detail::QueueControl g_queue;
detail::Stretcher g_stretch;
uint64_t g_last_block_ms = 0;
uint64_t g_stall_at = 0;
// Our model of the queue: the last measure, less what the device has taken since at the pace of
// real time, plus what we wrote since. It stands in while the server's timing is not known or,
// after a stall, not to be trusted until a fresh reading arrives.
double g_model_ms = 0;
double g_model_at = 0; // seconds, monotonic
bool g_timing_trusted = true;
// After a stall of ours the server's read position has run ahead of what we wrote, and sound
// written behind it would be thrown away (seconds of silence after a long stall). The next
// write goes to the read position.
bool g_resync = false;
// The output ran dry although we kept writing: the notice may arrive after blocks written since
// (the queue is then not empty, and a write to the read position would throw them away), so the
// queue is measured afresh, and what is missing of the cushion is filled with silence before the
// next block: the gap is there anyway, and the cushion is what keeps the next one away.
bool g_refill = false;
// A fresh output, and moving the user's streams into our sink (which changes when its monitor
// hands sound over), leave the output's queue short of its cushion, for good: with equal clocks
// nothing brings it back, and the next hiccup of the machine underran. What is missing is filled
// like after an underrun, but only where silence meets silence: at the onset of sound after
// silence (the moved streams' first sound comes after the takeover's own gap) or, while they are
// silent, once the move has settled. Silence put into the middle of the music is a gap the ear
// hears. `g_top_up_since` is when the top-up was asked for (0: none pending).
uint64_t g_top_up_since = 0;
constexpr uint64_t kTopUpSettleMs = 500;
bool g_last_silent = false;          // the last block written to the output was silence
constexpr float kSilentPeak = 1e-4f; // -80 dBFS
std::atomic<pid_t> g_audio_tid{0};
// What the audio thread settled on, for the log and the tests.
std::atomic<float> g_pub_target_ms{static_cast<float>(detail::QueueControl::kMinTargetMs)};
std::atomic<float> g_pub_ppm{0.0f};
std::atomic<float> g_pub_queue_ms{-1.0f};

// ---- Tap ring, display delay and peak cursor.
std::mutex g_tap_mtx;
float g_tap_l[kTapFrames];
float g_tap_r[kTapFrames];
int g_tap_pos = 0;
uint64_t g_tap_total = 0;
uint64_t g_tap_serial = 0;
uint64_t g_tap_at_us = 0; // monotonic time of the newest write
float g_delay_frames = 0;
uint64_t g_delay_ms_at = 0;
uint64_t g_peak_end = 0;
uint64_t g_av_log_at = 0;
int g_av_logged = -100000;

// ---- Output latency (frames) and the path's counters.
detail::LatencyRing g_lat;
std::atomic<float> g_out_lat_frames{-1.0f};
std::atomic<float> g_lat_lo{0.0f};
std::atomic<float> g_lat_hi{0.0f};
std::atomic<uint64_t> g_dropped{0};
std::atomic<uint64_t> g_drop_events{0};
std::atomic<uint64_t> g_underflows{0};

// ---- State of the control thread alone.
uint32_t g_module = kNoIndex;
// The device followed now (restored at the end), and the one the user wants followed, which may
// be unplugged for the moment and is followed again when it comes back.
std::string g_follow;
std::string g_follow_wanted;
std::string g_prev_default; // the server's default at the previous reading
bool g_restricted = false;
int g_claim_refusals = 0;       // passes in a row whose claim the server refused or ignored
uint64_t g_claim_failing_at = 0; // when the first of them ended
bool g_snap_no_sink = false;
bool g_passive_said = false;
bool g_no_server_said = false;
std::string g_handoff_tried;
bool g_armed = false;          // the watchdog would rescue
std::string g_volume_device;   // the real device whose volume the user now sets on our sink
std::vector<uint32_t> g_sink_volume; // our sink's volume at the last reading (for rebuilds)
bool g_sink_mute = false;
std::vector<uint32_t> g_seen_inputs; // streams seen before
std::vector<uint32_t> g_pinned;      // of those, the ones that asked for their device
std::vector<uint32_t> g_asked_sink;  // and the device each asked for
std::string g_published_follow;      // the followed device as told to other copies
int g_fail_streak = 0;               // failed passes (or connection attempts) in a row

// ---- The routing lock: one copy routes per user and sound server. The file also holds what a
// copy that dies without its watchdog leaves behind: its module, followed device and the device
// whose volume it carried.
int g_lock_fd = -1;
bool g_lock_ok = false; // this copy may route (holds the lock, or no lock can be had)
std::string g_lock_path;
std::string g_state_written;
struct LeftBehind {
    uint32_t module = kNoIndex;
    std::string follow;
    std::string volume_device;
};
LeftBehind g_left;

// ---- Log lines of the control thread. They are written once the main-loop lock is released:
// the audio callback runs under that lock, and the log flushes every line to a disk that may
// stall. While passes keep failing, a warning already written is not repeated.
struct Note {
    int level; // 0 info, 1 warning, 2 error
    std::string text;
};
std::vector<Note> g_notes;
std::vector<std::string> g_streak_said;

// Every wait for the server gives up at this monotonic time (ms; 0: no limit). Set by stop() so
// that quitting never waits on a stalled server for long.
std::atomic<uint64_t> g_deadline{0};
bool g_poked = false; // under g_mtx: a request of the user's, which ends a back-off pause
std::atomic<uint64_t> g_passes{0};

uint64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t now_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void sleep_ms(int ms) {
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void mark_dirty() {
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        g_dirty = true;
    }
    g_cv.notify_all();
}

void signal_loop() {
    pa_threaded_mainloop_signal(g_ml, 0);
}

std::string error_text() {
    return pa_strerror(pa_context_errno(g_ctx));
}

pa_proplist* make_props(const char* media) {
    pa_proplist* p = pa_proplist_new();
    pa_proplist_sets(p, PA_PROP_APPLICATION_NAME, kAppName);
    pa_proplist_sets(p, PA_PROP_APPLICATION_ID, "app.orvendal.Lumafon");
    pa_proplist_sets(p, PA_PROP_APPLICATION_ICON_NAME, "lumafon");
    pa_proplist_sets(p, PA_PROP_MEDIA_NAME, media);
    return p;
}

pa_sample_spec stream_spec() {
    pa_sample_spec ss{};
    ss.format = PA_SAMPLE_FLOAT32LE;
    ss.rate = kRate;
    ss.channels = 2;
    return ss;
}

uint32_t usec_bytes(pa_usec_t us) {
    const pa_sample_spec ss = stream_spec();
    return static_cast<uint32_t>(pa_usec_to_bytes(us, &ss));
}

// ===================================================================== Log lines of the pass

void note(int level, const std::string& text) {
    if (level > 0) {
        if (std::find(g_streak_said.begin(), g_streak_said.end(), text) != g_streak_said.end()) return;
        if (g_streak_said.size() < 64) g_streak_said.push_back(text);
    }
    g_notes.push_back({level, text});
}

void note_info(const std::string& text) {
    note(0, text);
}

void note_warn(const std::string& text) {
    note(1, text);
}

// Writes the gathered lines. Only on the control thread, without the main-loop lock.
void flush_notes() {
    std::vector<Note> notes;
    notes.swap(g_notes);
    for (const Note& n : notes) {
        if (n.level == 0) logger::info(n.text);
        else if (n.level == 1) logger::warn(n.text);
        else logger::error(n.text);
    }
}

// A pass ended well: the next failure is worth a warning again.
void pass_succeeded() {
    g_fail_streak = 0;
    g_streak_said.clear();
}

void pass_failed() {
    g_fail_streak = std::min(g_fail_streak + 1, 30);
}

// ===================================================================== Waiting for the server

void on_timer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void*) {
    signal_loop();
}

// Waits with the main-loop lock held (released while asleep) until `done` holds or `timeout_ms`
// have passed (or the quit deadline). A one-shot timer wakes the wait at least every 100 ms, so a
// reply that never comes cannot hang the control thread.
template <class Done> bool wait_until(Done done, int timeout_ms) {
    const uint64_t start = now_ms();
    const uint64_t end = start + static_cast<uint64_t>(std::max(timeout_ms, 0));
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(g_ml);
    pa_time_event* timer = nullptr;
    bool ok = false;
    for (;;) {
        if (done()) {
            ok = true;
            break;
        }
        // Read at every turn: a quit asked while a request waits on a stalled server ends the wait
        // at its deadline, not after the request's whole time limit (which, with the clean-up's
        // own limit after it, kept a quit waiting for 8 s).
        const uint64_t deadline = g_deadline.load();
        const uint64_t until = deadline != 0 ? std::min(end, deadline) : end;
        const uint64_t now = now_ms();
        if (now >= until) break;
        const uint64_t nap = std::min<uint64_t>(100, until - now);
        timeval tv{};
        pa_gettimeofday(&tv);
        pa_timeval_add(&tv, nap * PA_USEC_PER_MSEC);
        if (!timer)
            timer = api->time_new(api, &tv, on_timer, nullptr);
        else
            api->time_restart(timer, &tv);
        pa_threaded_mainloop_wait(g_ml);
    }
    if (timer) api->time_free(timer);
    return ok;
}

bool wait_for(pa_operation* op, int timeout_ms) {
    return wait_until([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, timeout_ms);
}

// True when the request completed. A request that times out is cancelled and counts as failed:
// an empty answer must never be taken for the server's word.
bool wait_op(pa_operation* op, int timeout_ms = kRequestTimeoutMs) {
    if (!op) return false;
    const bool finished = wait_for(op, timeout_ms);
    if (!finished) {
        note_warn("Sound server not answering - request dropped");
        pa_operation_cancel(op);
    }
    const bool done = finished && pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return done;
}

bool wait_stream_ready(pa_stream* s) {
    wait_until([s] { return pa_stream_get_state(s) != PA_STREAM_CREATING; }, 3000);
    if (pa_stream_get_state(s) == PA_STREAM_READY) return true;
    mark_dirty();
    return false;
}

void on_success(pa_context*, int, void*) {
    signal_loop();
}

void on_success_flag(pa_context*, int success, void* userdata) {
    *static_cast<bool*>(userdata) = success != 0;
    signal_loop();
}

void on_stream_success(pa_stream*, int, void*) {
    signal_loop();
}

void on_index(pa_context*, uint32_t index, void* userdata) {
    *static_cast<uint32_t*>(userdata) = index;
    signal_loop();
}

// A request whose success the server confirmed in time.
template <class Issue> bool confirmed(Issue issue, int timeout_ms = kRequestTimeoutMs) {
    bool ok = false;
    return wait_op(issue(&ok), timeout_ms) && ok;
}

// ===================================================================== Tap and latency

float load(const std::atomic<float>& a) {
    return a.load(std::memory_order_relaxed);
}

void record_latency(pa_usec_t us) {
    float median = 0, lo = 0, hi = 0;
    g_lat.add(static_cast<float>(static_cast<double>(us) * 1e-6 * kRate), &median, &lo, &hi);
    g_out_lat_frames.exchange(median);
    g_lat_lo.exchange(lo);
    g_lat_hi.exchange(hi);
}

double av_offset_frames() {
    static const double offset = [] {
        const char* v = std::getenv("LUMA2_AV_OFFSET_MS");
        return v ? std::strtod(v, nullptr) * 0.001 * kRate : 0.0;
    }();
    return offset;
}

bool beat_log() {
    static const bool on = std::getenv("LUMA2_BEATLOG") != nullptr;
    return on;
}

// Moves the display delay towards the output latency and returns it in whole frames, fit for
// a read of `count` frames. Called with g_tap_mtx held. When the AV sync line is due, it is
// formatted into `log_line` for the caller to write once the lock is released: the audio
// callback waits on that lock, and a log write may stall on the disk.
int delay_for_read(int count, char (&log_line)[160]) {
    const float lat = load(g_out_lat_frames);
    const float base = g_rec_routed.load() && lat >= 0 ? lat : 0.0f;
    const float target = std::clamp(static_cast<float>(base + av_offset_frames()), 0.0f, kMaxDelayFrames);
    const uint64_t now = now_ms();
    g_delay_frames = detail::follow_delay(g_delay_frames, target, now, g_delay_ms_at);
    g_delay_ms_at = now;

    int64_t d = static_cast<int64_t>(g_delay_frames + 0.5f);
    d = std::min<int64_t>(d, static_cast<int64_t>(g_tap_total));
    d = std::min<int64_t>(d, kTapFrames - count);
    const int delay = static_cast<int>(d);

    if (now >= g_av_log_at) {
        g_av_log_at = now + 10000;
        if (beat_log() || std::abs(delay - g_av_logged) > 479) {
            g_av_logged = delay;
            const float median_ms = lat >= 0 ? lat * 1000.0f / kRate : -1.0f;
            std::snprintf(log_line, sizeof log_line,
                          "AV sync: output latency %.0f ms (raw %.0f..%.0f), display delayed %.0f ms",
                          static_cast<double>(median_ms),
                          static_cast<double>(load(g_lat_lo) * 1000.0f / kRate),
                          static_cast<double>(load(g_lat_hi) * 1000.0f / kRate), delay * 1000.0 / kRate);
        }
    }
    return delay;
}

// ===================================================================== The stream path

// Milliseconds of sound written to the output that the device has not taken yet: our own queue,
// the write index less the read index of the server's last report, less what the device has
// taken since at the pace of real time. The device's own latency (a network or Bluetooth output
// may report hundreds of milliseconds) is not ours to shorten, and counting it would starve such
// a device. libpulse's own interpolation (pa_stream_get_latency) is not used: against PipeWire's
// pulse server it drifts away from the reports by several percent of the time since the last
// one, and sound dropped for a queue that was not there left the output silent. Negative when
// unknown.
double own_queue_ms() {
    const pa_timing_info* ti = pa_stream_get_timing_info(g_play);
    if (!ti || ti->read_index_corrupt || ti->write_index_corrupt) return -1;
    double ms = static_cast<double>(ti->write_index - ti->read_index) / (kFrameBytes * kRate / 1000.0);
    if (ti->playing) ms -= static_cast<double>(pa_timeval_age(&ti->timestamp)) * 0.001;
    return std::max(0.0, ms);
}

void on_stall_timing(pa_stream*, int, void*) {
    g_timing_trusted = true;
}

void on_underrun_timing(pa_stream*, int, void*) {
    g_timing_trusted = true;
    g_refill = true;
}

// PipeWire's pulse server answers timing requests in a way that libpulse's interpolation
// overstates our queue by a few percent of the time since the last answer: some 40 ms at the
// 1.5 s pace of its automatic requests, as much as the slack we allow. Asking at least twice a
// second bounds that at little cost (a write costs a message too, and there are 65 a second).
constexpr int kTimingRefreshMs = 500;
bool g_refresh_pending = false;

void on_refreshed(pa_stream*, int, void*) {
    g_refresh_pending = false;
}

void refresh_timing(bool now = false) {
    if (g_refresh_pending) return;
    const pa_timing_info* ti = pa_stream_get_timing_info(g_play);
    if (!now && ti && pa_timeval_age(&ti->timestamp) < static_cast<pa_usec_t>(kTimingRefreshMs) * 1000) return;
    if (pa_operation* op = pa_stream_update_timing_info(g_play, on_refreshed, nullptr)) {
        g_refresh_pending = true;
        pa_operation_unref(op);
    }
}

// Silence for the cushion: at most the largest target.
const float kCushion[static_cast<int>(detail::QueueControl::kMaxTargetMs) * kRate / 1000 * 2] = {};

double now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The queue now: measured where the server's timing allows, else modelled.
double queue_now_ms() {
    const double t = now_s();
    g_model_ms = std::max(0.0, g_model_ms - (t - g_model_at) * 1000);
    g_model_at = t;
    if (g_timing_trusted) {
        const double measured = own_queue_ms();
        if (measured >= 0) g_model_ms = measured;
    }
    return g_model_ms;
}

// The device takes sound from our queue in chunks of its own latency, which the server sets to
// the buffer length less twice the request size. Left to the defaults that is half the buffer
// (30 ms), and a chunk that large, taken just before a late block arrives, is what underran; in
// small chunks the same cushion rides out twice the delay. Requests are not used (blocks are
// written as they come); the server sends one whenever a request's worth is missing from the
// buffer, and a buffer no longer than the target and a little more keeps them rare (with twice
// the target, one came with nearly every chunk the device took, which cost a fifth more CPU).
constexpr double kDeviceChunkMs = 10;

double tlength_ms() {
    return g_queue.target_ms + 20;
}

void set_buffer_attr(pa_buffer_attr* attr) {
    const double tlength = tlength_ms();
    const double minreq = (tlength - kDeviceChunkMs) * 0.5;
    attr->maxlength = usec_bytes(500000);
    attr->tlength = usec_bytes(static_cast<pa_usec_t>(tlength * 1000));
    attr->minreq = usec_bytes(static_cast<pa_usec_t>(minreq * 1000));
    // Prebuffering near the target (the server keeps it within the buffer less one request): after
    // an underrun the device starts again only once that much is queued, and the refill brings
    // the rest, so the cushion is back at the cost of no more than the gap.
    attr->prebuf = usec_bytes(static_cast<pa_usec_t>(std::min(g_queue.target_ms, tlength - minreq) * 1000));
    attr->fragsize = 0xFFFFFFFFu;
}

void apply_target() {
    if (!g_play) return;
    pa_buffer_attr attr{};
    set_buffer_attr(&attr);
    if (pa_operation* op = pa_stream_set_buffer_attr(g_play, &attr, nullptr, nullptr)) pa_operation_unref(op);
}

// Writes one processed block (`frames` frames in g_scratch) to the output, unless our queue
// already holds stale sound.
void play_block(int frames, bool more_waiting) {
    const uint64_t now = now_ms();
    const double block_ms = frames * 1000.0 / kRate;
    if (g_last_block_ms != 0 && now - g_last_block_ms > kStallMs) {
        // The device played our queue dry meanwhile, and what comes in now is the backlog of the
        // stall. The server's timing is as old as the stall: the model decides until a fresh
        // reading arrives (after the backlog already in the socket).
        g_stall_at = now;
        g_resync = true;
        g_queue.stall(now);
        if (pa_operation* op = pa_stream_update_timing_info(g_play, on_stall_timing, nullptr)) {
            g_timing_trusted = false;
            pa_operation_unref(op);
        }
    }
    g_last_block_ms = now;

    refresh_timing();
    bool changed = false;
    const double queue = queue_now_ms();
    // A queue that the server holds without playing it (waiting for its start threshold after an
    // underrun, or for a device that is starting up) is not stale, and dropping sound there could
    // keep it below that threshold: PipeWire's pulse server left the output silent for up to a
    // second so. A fresh report tells when it plays again. The threshold lies within the buffer
    // length; beyond it, a backlog would only queue up.
    const pa_timing_info* timing = pa_stream_get_timing_info(g_play);
    const bool held = g_timing_trusted && timing && !timing->playing && queue >= g_queue.target_ms &&
                      queue < tlength_ms() + 2 * block_ms;
    if (held) refresh_timing(true);
    g_queue.device_ms = timing && g_timing_trusted ? static_cast<double>(timing->sink_usec) * 0.001 : 0;
    const bool play = g_queue.admit(queue, block_ms, now, &changed, more_waiting, held);
    if (changed) apply_target();
    g_pub_queue_ms.store(static_cast<float>(queue), std::memory_order_relaxed);
    g_pub_target_ms.store(static_cast<float>(g_queue.target_ms), std::memory_order_relaxed);
    g_pub_ppm.store(static_cast<float>(g_queue.ppm), std::memory_order_relaxed);
    if (!play) {
        g_dropped.fetch_add(static_cast<uint64_t>(frames) * kFrameBytes);
        g_drop_events.fetch_add(1);
        return;
    }
    float peak = 0;
    for (int i = 0; i < frames * 2; ++i) peak = std::max(peak, std::fabs(g_scratch[static_cast<size_t>(i)]));
    const bool silent = peak < kSilentPeak;
    if (g_top_up_since != 0 && g_last_silent && (!silent || now >= g_top_up_since + kTopUpSettleMs)) {
        g_top_up_since = 0;
        g_refill = true;
    }
    g_last_silent = silent;
    if (g_refill) {
        g_refill = false;
        const size_t missing = static_cast<size_t>(std::max(0.0, g_queue.target_ms - queue) * kRate / 1000) * kFrameBytes;
        if (missing > 0) {
            pa_stream_write(g_play, kCushion, std::min(missing, sizeof kCushion), nullptr, 0, PA_SEEK_RELATIVE);
            g_model_ms += static_cast<double>(std::min(missing, sizeof kCushion)) * 1000.0 / (kRate * kFrameBytes);
        }
    }
    const double ratio = 1.0 + g_queue.ppm * 1e-6;
    const int out = g_stretch.process(g_scratch.data(), frames, ratio);
    pa_stream_write(g_play, g_stretch.output(), static_cast<size_t>(out) * kFrameBytes, nullptr, 0,
                    g_resync ? PA_SEEK_RELATIVE_ON_READ : PA_SEEK_RELATIVE);
    if (g_resync) g_model_ms = 0;
    g_resync = false;
    g_model_ms += out * 1000.0 / kRate;
    // What is heard now was written the whole output latency ago: our queue and the device's own.
    const double own = own_queue_ms();
    if (const pa_timing_info* ti = pa_stream_get_timing_info(g_play); ti && own >= 0)
        record_latency(static_cast<pa_usec_t>(own * 1000) + ti->sink_usec);
}

// Silence instead of noise: a curve can no longer be non-finite, but a player may send NaN or
// infinite samples into our sink, and one of them would poison the filters for good.
void guard_block(float* samples, int count) {
    float probe = 0;
    for (int i = 0; i < count; ++i) probe += samples[i] - samples[i];
    if (probe == 0) return;
    std::memset(samples, 0, static_cast<size_t>(count) * sizeof(float));
    g_proc.reset();
}

// The server hands the monitor over in pieces of a few milliseconds (often only a few frames),
// more often than the fragment asks for. Every write to the output costs a message to the
// server, so pieces are gathered into blocks of at least one fragment first.
constexpr int kBlockFrames = kRate * kFragmentMs / 1000;

void route_block(const float* data, int frames) {
    const size_t at = static_cast<size_t>(g_pending) * 2;
    const size_t samples = static_cast<size_t>(frames) * 2;
    // Grows only when a block is larger than any before; never shrinks.
    if (g_scratch.size() < at + samples) g_scratch.resize(at + samples);
    std::memcpy(g_scratch.data() + at, data, samples * sizeof(float));
    g_pending += frames;
    if (g_pending < kBlockFrames) return;
    const int block = g_pending;
    g_pending = 0;

    const int version = g_curve_version.load();
    if (version != g_applied_version) {
        std::lock_guard<std::mutex> lock(g_curve_mtx);
        g_proc.set_curve(g_curve);
        g_applied_version = version;
    }
    g_proc.process(g_scratch.data(), block);
    guard_block(g_scratch.data(), block * 2);
    detail::push_tap(g_scratch.data(), block);
    // The piece just read is still counted as readable (it is dropped after this call).
    const bool more_waiting = pa_stream_readable_size(g_rec) > static_cast<size_t>(frames) * kFrameBytes;
    if (g_play && pa_stream_get_state(g_play) == PA_STREAM_READY) play_block(block, more_waiting);
}

void on_read(pa_stream* s, size_t, void*) {
    while (pa_stream_readable_size(s) != 0) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(s, &data, &bytes) < 0) return;
        if (bytes == 0) return;
        if (data && s == g_rec) {
            const int frames = static_cast<int>(bytes / kFrameBytes);
            if (g_rec_routed.load())
                route_block(static_cast<const float*>(data), frames);
            else
                detail::push_tap(static_cast<const float*>(data), frames);
        }
        pa_stream_drop(s);
    }
}

void on_underflow(pa_stream*, void*) {
    g_underflows.fetch_add(1);
    // A stall of our own empties the queue without telling anything about the jitter to ride
    // out (play_block resynchronises then); every other underrun calls for a larger cushion, but
    // the first second after a stall is still its aftermath.
    const uint64_t now = now_ms();
    if (now - g_last_block_ms > kStallMs) {
        g_model_ms = 0;
        g_resync = true;
        return;
    }
    if (g_queue.underrun(now, now - g_stall_at >= 1000)) apply_target();
    if (pa_operation* op = pa_stream_update_timing_info(g_play, on_underrun_timing, nullptr)) {
        g_timing_trusted = false;
        pa_operation_unref(op);
    } else {
        g_refill = true;
    }
}

void on_stream_state(pa_stream* s, void*) {
    const pa_stream_state_t st = pa_stream_get_state(s);
    if (st == PA_STREAM_FAILED || st == PA_STREAM_TERMINATED) mark_dirty();
    signal_loop();
}

void drop_stream(pa_stream*& s) {
    if (!s) return;
    pa_stream_set_state_callback(s, nullptr, nullptr);
    pa_stream_set_read_callback(s, nullptr, nullptr);
    pa_stream_set_underflow_callback(s, nullptr, nullptr);
    pa_stream_disconnect(s);
    pa_stream_unref(s);
    s = nullptr;
}

bool stream_alive(pa_stream* s) {
    if (!s) return false;
    const pa_stream_state_t st = pa_stream_get_state(s);
    return st == PA_STREAM_CREATING || st == PA_STREAM_READY;
}

pa_stream* new_stream(const char* name, const char* media) {
    const pa_sample_spec ss = stream_spec();
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    pa_proplist* props = make_props(media);
    pa_stream* s = pa_stream_new_with_proplist(g_ctx, name, &ss, &map, props);
    pa_proplist_free(props);
    if (s) pa_stream_set_state_callback(s, on_stream_state, nullptr);
    return s;
}

void open_record(const std::string& source, bool routed) {
    drop_stream(g_rec);
    g_rec_source.clear();
    pa_stream* s = new_stream("record", routed ? "Equalizer" : "Spectrum");
    if (!s) return;
    g_rec = s;
    pa_stream_set_read_callback(s, on_read, nullptr);
    pa_buffer_attr attr{};
    attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = 0xFFFFFFFFu;
    attr.fragsize = usec_bytes(kFragmentMs * 1000);
    g_rec_routed = routed;
    g_pending = 0; // what was gathered came from the old stream
    unsigned flags = PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE;
    if (!routed) flags |= PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND;
    if (pa_stream_connect_record(s, source.c_str(), &attr, static_cast<pa_stream_flags_t>(flags)) == 0 &&
        wait_stream_ready(s)) {
        g_rec_source = source;
        return;
    }
    note_warn("Cannot record from " + source + ": " + error_text());
    drop_stream(g_rec);
}

void open_playback(const std::string& sink) {
    drop_stream(g_play);
    g_play_sink.clear();
    // A new device has its own latency and its own clock: the statistics start afresh.
    g_lat.restart();
    g_queue.restart(now_ms());
    g_model_ms = 0;
    g_timing_trusted = true;
    g_resync = g_refill = g_refresh_pending = g_last_silent = false;
    pa_stream* s = new_stream("playback", "Equalizer");
    if (!s) return;
    g_play = s;
    pa_stream_set_underflow_callback(s, on_underflow, nullptr);
    pa_buffer_attr attr{};
    set_buffer_attr(&attr);
    pa_cvolume volume;
    pa_cvolume_set(&volume, 2, PA_VOLUME_NORM);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_AUTO_TIMING_UPDATE |
                                                      PA_STREAM_INTERPOLATE_TIMING);
    if (pa_stream_connect_playback(s, sink.c_str(), &attr, flags, &volume, nullptr) == 0 &&
        wait_stream_ready(s)) {
        g_play_sink = sink;
        return;
    }
    note_warn("Cannot play to " + sink + ": " + error_text());
    drop_stream(g_play);
}

void disconnect_locked() {
    drop_stream(g_rec);
    drop_stream(g_play);
    g_rec_source.clear();
    g_play_sink.clear();
    if (!g_ctx) return;
    pa_context_set_state_callback(g_ctx, nullptr, nullptr);
    pa_context_set_subscribe_callback(g_ctx, nullptr, nullptr);
    pa_context_disconnect(g_ctx);
    pa_context_unref(g_ctx);
    g_ctx = nullptr;
}

// ===================================================================== Reading the server

std::string text_or(const char* s, const char* fallback) {
    return s && *s ? s : fallback;
}

// One reading in progress: the snapshot and whether the server reported an error on the way.
struct Reading {
    Snapshot snap;
    bool error = false;
};

void on_server_info(pa_context*, const pa_server_info* info, void* userdata) {
    auto* r = static_cast<Reading*>(userdata);
    if (info)
        r->snap.default_sink = text_or(info->default_sink_name, "");
    else
        r->error = true;
    signal_loop();
}

SinkEntry sink_entry(const pa_sink_info* info) {
    SinkEntry e;
    e.index = info->index;
    e.name = text_or(info->name, "");
    e.description = text_or(info->description, "");
    e.owner_module = info->owner_module;
    e.mute = info->mute != 0;
    e.monitor_source = info->monitor_source;
    e.suspended = info->state == PA_SINK_SUSPENDED;
    e.volume.assign(info->volume.values, info->volume.values + info->volume.channels);
    e.ours = e.owner_module != kNoIndex &&
             detail::is_own_kind(e.name, text_or(pa_proplist_gets(info->proplist, "device.icon_name"), ""),
                                 e.description);
    return e;
}

void on_sink_info(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* r = static_cast<Reading*>(userdata);
    if (eol != 0 || !info) {
        if (eol < 0) r->error = true;
        signal_loop();
        return;
    }
    r->snap.sinks.push_back(sink_entry(info));
}

void on_input_info(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
    auto* r = static_cast<Reading*>(userdata);
    if (eol != 0 || !info) {
        if (eol < 0) r->error = true;
        signal_loop();
        return;
    }
    InputEntry e;
    e.index = info->index;
    e.sink = info->sink;
    e.client = info->client;
    e.app_name = text_or(pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME), "");
    e.ours = e.app_name == kAppName;
    e.target = text_or(pa_proplist_gets(info->proplist, "target.object"), "");
    r->snap.inputs.push_back(std::move(e));
}

struct OutputScan {
    uint32_t own_client = kNoIndex;
    bool other_instance = false;
    bool error = false;
};

void on_source_output_info(pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
    auto* scan = static_cast<OutputScan*>(userdata);
    if (eol != 0 || !info) {
        if (eol < 0) scan->error = true;
        signal_loop();
        return;
    }
    const char* app = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME);
    if (app && std::strcmp(app, kAppName) == 0 && info->client != scan->own_client)
        scan->other_instance = true;
}

uint32_t own_client() {
    return g_ctx ? pa_context_get_index(g_ctx) : kNoIndex;
}

// Reads the whole routing state. False when any part of it did not arrive: the pass must then
// act on nothing, since a missing list is not an empty one.
bool query(Snapshot& out) {
    out = Snapshot{};
    if (!g_ctx) return false;
    Reading r;
    OutputScan scan;
    scan.own_client = own_client();
    const bool ok = wait_op(pa_context_get_server_info(g_ctx, on_server_info, &r)) &&
                    wait_op(pa_context_get_sink_info_list(g_ctx, on_sink_info, &r)) &&
                    wait_op(pa_context_get_sink_input_info_list(g_ctx, on_input_info, &r)) &&
                    wait_op(pa_context_get_source_output_info_list(g_ctx, on_source_output_info, &scan));
    if (!ok || r.error || scan.error) return false;
    out = std::move(r.snap);
    out.other_instance = scan.other_instance;
    for (const InputEntry& in : out.inputs)
        if (in.ours && in.client != scan.own_client) out.other_instance = true;
    return true;
}

// The default sink's name; empty when the server did not answer.
std::string read_default_sink() {
    Reading r;
    if (!wait_op(pa_context_get_server_info(g_ctx, on_server_info, &r)) || r.error) return {};
    return r.snap.default_sink;
}

// Our own sink in a reading: the sink of the module this copy owns.
const SinkEntry* own_sink(const Snapshot& snap) {
    if (g_module == kNoIndex) return nullptr;
    for (const SinkEntry& s : snap.sinks)
        if (s.ours && s.owner_module == g_module) return &s;
    return nullptr;
}

// ===================================================================== Device list and status

std::vector<Device> device_list(const Snapshot& snap, const std::string& output, std::string* output_label) {
    std::vector<Device> list;
    for (const SinkEntry& s : snap.sinks) {
        if (s.ours || !detail::is_real_sink(s.name)) continue;
        list.push_back({s.name, s.description.empty() ? s.name : s.description});
        if (s.name == output && output_label) *output_label = list.back().label;
    }
    return list;
}

void publish(const Snapshot& snap, const std::string& output, bool missing, bool running,
             bool select_output) {
    const SinkEntry* out = detail::find_sink(snap, output);
    bool muted = out && out->mute;
    if (running && !muted) {
        const SinkEntry* own = own_sink(snap);
        muted = own && own->mute;
    }
    std::string label;
    std::vector<Device> list = device_list(snap, output, &label);

    std::lock_guard<std::mutex> lock(g_mtx);
    g_devices = std::move(list);
    g_status.state = 1;
    g_status.active = running;
    g_status.output = output;
    g_status.output_label = label;
    g_status.output_missing = missing;
    g_status.follow = g_follow;
    g_status.muted = muted;
    g_status.select_output = select_output;
    g_status.snap_no_sink = g_snap_no_sink;
    ++g_status_serial;
}

struct HwScan {
    std::vector<std::string> lines;
    std::string default_sink;
    std::string default_source;
};

std::string spec_text(const pa_sample_spec& ss) {
    char buf[32];
    pa_sample_spec_snprint(buf, sizeof buf, &ss);
    return buf;
}

void on_hw_server(pa_context*, const pa_server_info* info, void* userdata) {
    auto* scan = static_cast<HwScan*>(userdata);
    if (info) {
        scan->lines.push_back("Sound server: " + text_or(info->server_name, "?") + " " +
                              text_or(info->server_version, "?") + ", " + spec_text(info->sample_spec) +
                              ", libpulse " + text_or(pa_get_library_version(), "?"));
        scan->default_sink = text_or(info->default_sink_name, "");
        scan->default_source = text_or(info->default_source_name, "");
    }
    signal_loop();
}

void on_hw_sink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    if (eol != 0 || !info) {
        signal_loop();
        return;
    }
    auto* scan = static_cast<HwScan*>(userdata);
    const std::string name = text_or(info->name, "");
    std::string line = "Output " + name + (name == scan->default_sink ? " [default]" : "") + ": " +
                       text_or(info->description, "?") + ", " + spec_text(info->sample_spec);
    if (info->active_port && info->active_port->description && *info->active_port->description)
        line += std::string(", port ") + info->active_port->description;
    scan->lines.push_back(line + hw_details(info->proplist));
}

void on_hw_source(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    if (eol != 0 || !info) {
        signal_loop();
        return;
    }
    if (info->monitor_of_sink != PA_INVALID_INDEX) return;
    auto* scan = static_cast<HwScan*>(userdata);
    const std::string name = text_or(info->name, "");
    scan->lines.push_back("Input " + name + (name == scan->default_source ? " [default]" : "") + ": " +
                          text_or(info->description, "?") + ", " + spec_text(info->sample_spec) +
                          hw_details(info->proplist));
}

// The devices the program plays through, kept for a crash report. A reading that did not arrive
// whole keeps the previous summary.
void log_audio_hardware() {
    HwScan scan;
    if (wait_op(pa_context_get_server_info(g_ctx, on_hw_server, &scan)) &&
        wait_op(pa_context_get_sink_info_list(g_ctx, on_hw_sink, &scan)) &&
        wait_op(pa_context_get_source_info_list(g_ctx, on_hw_source, &scan)))
        crash_handler::record_audio(scan.lines);
}

// ===================================================================== Requests of a pass

bool set_default(const std::string& sink, int timeout_ms) {
    return confirmed(
        [&](bool* ok) { return pa_context_set_default_sink(g_ctx, sink.c_str(), on_success_flag, ok); },
        timeout_ms);
}

bool move_input(uint32_t input, uint32_t sink) {
    return confirmed([&](bool* ok) {
        return pa_context_move_sink_input_by_index(g_ctx, input, sink, on_success_flag, ok);
    });
}

bool unload_module(uint32_t module) {
    return confirmed([&](bool* ok) { return pa_context_unload_module(g_ctx, module, on_success_flag, ok); });
}

bool suspend_own(const std::string& name, bool on) {
    return confirmed([&](bool* ok) {
        return pa_context_suspend_sink_by_name(g_ctx, name.c_str(), on ? 1 : 0, on_success_flag, ok);
    });
}

bool set_sink_volume(uint32_t sink, const std::vector<uint32_t>& volume) {
    pa_cvolume cv;
    pa_cvolume_init(&cv);
    cv.channels = static_cast<uint8_t>(std::min<size_t>(volume.size(), PA_CHANNELS_MAX));
    for (unsigned i = 0; i < cv.channels; ++i) cv.values[i] = volume[i];
    if (!pa_cvolume_valid(&cv)) return false;
    return confirmed([&](bool* ok) {
        return pa_context_set_sink_volume_by_index(g_ctx, sink, &cv, on_success_flag, ok);
    });
}

bool set_sink_mute(uint32_t sink, bool mute) {
    return confirmed([&](bool* ok) {
        return pa_context_set_sink_mute_by_index(g_ctx, sink, mute ? 1 : 0, on_success_flag, ok);
    });
}

std::vector<uint32_t> full_volume(size_t channels) {
    return std::vector<uint32_t>(channels, PA_VOLUME_NORM);
}

// The user's volume and mute of `device` move into our sink, and the device plays at full
// volume: the desktop's volume controls act on the default sink, which is ours while we route,
// and what the user hears stays as loud as before. Our sink is turned down before the device is
// turned up, so that the step in between is quieter, never louder.
bool park_volume(const SinkEntry& own, const SinkEntry& device) {
    const bool full = device.volume == full_volume(device.volume.size());
    if (!set_sink_volume(own.index, detail::carry_volume(own.volume, device.volume))) return false;
    if (device.mute && !own.mute && !set_sink_mute(own.index, true)) return false;
    if (!full && !set_sink_volume(device.index, full_volume(device.volume.size()))) return false;
    if (device.mute && !set_sink_mute(device.index, false)) return false;
    return true;
}

// The way back: the device takes on the volume and mute set on our sink.
bool release_volume(const SinkEntry& own, const SinkEntry& device) {
    if (!set_sink_volume(device.index, detail::carry_volume(device.volume, own.volume))) return false;
    if (own.mute && !device.mute && !set_sink_mute(device.index, true)) return false;
    if (!set_sink_volume(own.index, full_volume(own.volume.size()))) return false;
    if (own.mute && !set_sink_mute(own.index, false)) return false;
    return true;
}

// Moves the inputs into `sink` and checks in a fresh reading that each really arrived:
// PipeWire's pulse server sometimes confirms a move it never makes, which would leave that
// stream playing past the equaliser (or into a sink about to vanish). A move the server
// refuses outright (a stream that may not move) is not repeated. False when the server did not
// answer.
bool move_inputs(std::vector<uint32_t> inputs, uint32_t sink) {
    for (int round = 0; round < kMoveRounds && !inputs.empty(); ++round) {
        std::vector<uint32_t> confirmed_moves;
        for (uint32_t in : inputs)
            if (move_input(in, sink)) confirmed_moves.push_back(in);
        if (confirmed_moves.empty()) return true;
        Reading check;
        if (!wait_op(pa_context_get_sink_input_info_list(g_ctx, on_input_info, &check)) || check.error)
            return false;
        inputs = detail::not_arrived(check.snap, confirmed_moves, sink);
        if (!inputs.empty() && round + 1 < kMoveRounds) {
            note_warn("Stream " + std::to_string(inputs.front()) + " did not move - trying again");
            wait_until([] { return false; }, 50 * (round + 1));
        }
    }
    if (!inputs.empty()) note_warn("Stream " + std::to_string(inputs.front()) + " stays where it is");
    return true;
}

bool load_sink() {
    uint32_t index = kNoIndex;
    const std::string args = std::string("sink_name=") + kSinkName + kSinkArgs;
    const bool answered =
        wait_op(pa_context_load_module(g_ctx, "module-null-sink", args.c_str(), on_index, &index));
    if (index == kNoIndex) {
        const int err = pa_context_errno(g_ctx);
        if (answered) note(2, std::string("Virtual sink cannot be loaded: ") + pa_strerror(err));
        if (answered && err == PA_ERR_ACCESS && std::getenv("SNAP")) {
            if (!g_snap_no_sink)
                note_warn("Snap: the sound server denies load-module (Ubuntu PulseAudio, module-snap-policy) - "
                          "showing the hint to the .deb package");
            g_snap_no_sink = true;
        }
        return false;
    }
    g_module = index;
    note_info("Virtual sink loaded (module " + std::to_string(index) + ")");
    return true;
}

// A null sink that has idled renders up to two seconds ahead: our recording would get nothing
// for that long, and streams moved in meanwhile would lose as much of their sound. Suspending
// and resuming it restarts its clock at the short latency our recording asks for. False when the
// sink may have stayed suspended (the next pass resumes it).
bool restart_sink_clock(const std::string& name) {
    const bool suspended = suspend_own(name, true);
    const bool resumed = suspend_own(name, false);
    return resumed || !suspended;
}

// A device that rendered far ahead, or slept, may take a while before it consumes a new stream
// (up to two seconds for a null sink). Until the streams are gathered we write only the silence
// of our empty sink, so we wait here until the output consumes at the pace of real time and
// then drop that silence: the user's streams start at the short latency the playback stream
// was made for, and none of their sound is discarded for an output that was not yet running.
void settle_output() {
    const uint64_t start = now_ms();
    int64_t mark_read = -1;
    uint64_t mark_at = 0;
    bool flowing = false;
    while (!flowing && now_ms() - start < 2500 && g_play && pa_stream_get_state(g_play) == PA_STREAM_READY) {
        if (!wait_op(pa_stream_update_timing_info(g_play, on_stream_success, nullptr))) return;
        const pa_timing_info* ti = pa_stream_get_timing_info(g_play);
        const uint64_t now = now_ms();
        if (!ti || !ti->playing || ti->read_index_corrupt) {
            mark_read = -1;
        } else if (mark_read < 0) {
            mark_read = ti->read_index;
            mark_at = now;
        } else if (now - mark_at >= 100) {
            const double consumed_ms =
                static_cast<double>(ti->read_index - mark_read) / (kFrameBytes * kRate / 1000);
            flowing = consumed_ms >= 0.8 * static_cast<double>(now - mark_at);
            mark_read = ti->read_index;
            mark_at = now;
        }
        if (!flowing) wait_until([] { return false; }, 20);
    }
    if (!g_play) return;
    wait_op(pa_stream_flush(g_play, on_stream_success, nullptr));
    // What the queue showed while the device was not yet flowing is gone with the flush, and so
    // is the latency it showed then: a device still playing out a long block of its idle time
    // reports up to 2 s, which the display delay would otherwise chase for the next second.
    g_queue.restart(now_ms());
    g_lat.restart();
    // A standing queue at the target rides out the jitter of the record side without underruns.
    const size_t bytes = static_cast<size_t>(g_queue.target_ms * kRate / 1000) * kFrameBytes;
    pa_stream_write(g_play, kCushion, std::min(bytes, sizeof kCushion), nullptr, 0, PA_SEEK_RELATIVE);
    g_model_ms = static_cast<double>(std::min(bytes, sizeof kCushion)) * 1000.0 / (kRate * kFrameBytes);
    g_model_at = now_s();
    g_last_silent = true;
}

void unlocked_sleep(int ms) {
    pa_threaded_mainloop_unlock(g_ml);
    flush_notes();
    sleep_ms(ms);
    pa_threaded_mainloop_lock(g_ml);
}

void arm(const std::string& restore_to) {
    guard::sink_state(g_module, g_volume_device);
    guard::armed(restore_to);
    g_armed = true;
}

void disarm() {
    guard::disarmed();
    guard::sink_state(kNoIndex, {});
    g_armed = false;
}

// Gives everything of one of our sinks back: the volume carried from `volume_device`, the default
// to `default_to` (when `restore` and the sink holds it), the streams of other programs in it to
// `streams_to`, then unloads its module. False when a step did not complete; the sink then stays for the next
// try (or the watchdog).
bool give_back(const SinkEntry& sink, const Snapshot& snap, const std::string& default_to,
               const std::string& streams_to, const std::string& volume_device, bool restore) {
    if (const SinkEntry* dev = detail::find_sink(snap, volume_device); dev && !dev->ours)
        if (!release_volume(sink, *dev)) return false;
    const SinkEntry* own = own_sink(snap);
    const SinkEntry* def = detail::find_sink(snap, default_to);
    if (restore && def && !def->ours && snap.default_sink == sink.name &&
        !set_default(default_to, g_restricted ? 1000 : kRequestTimeoutMs))
        return false;
    const SinkEntry* into = detail::find_sink(snap, streams_to);
    if (into && into != &sink && (!into->ours || into == own) && !g_restricted) {
        const uint32_t me = own_client();
        std::vector<uint32_t> inputs;
        for (const InputEntry& in : snap.inputs)
            if (in.sink == sink.index && in.client != me) inputs.push_back(in.index);
        if (!move_inputs(inputs, into->index)) return false;
    }
    if (sink.owner_module == kNoIndex) return true;
    if (!unload_module(sink.owner_module)) {
        note_warn("Virtual sink cannot be removed (module " + std::to_string(sink.owner_module) + "): " +
                  error_text());
        return false;
    }
    return true;
}

// Removes our sink and hands everything back to `restore_to`. The order is fixed: a sibling
// feeding our sink first gets the default alone and time to leave; then the default is handed
// back, then the streams are moved, then the module is unloaded. False when the server did not
// complete it: the watchdog stays armed and the sink is known, so that a later pass (or the
// watchdog) finishes the job.
bool teardown(const Snapshot& snap, const std::string& restore_to, bool restore) {
    const SinkEntry* own = own_sink(snap);
    if (restore && !g_restricted && own && detail::find_sink(snap, restore_to) &&
        detail::sibling_feeds(snap, own->index)) {
        note_info("Sound chain: handing the sibling back to " + restore_to);
        set_default(restore_to, 1500);
        const uint64_t start = now_ms();
        bool moved_on = false;
        for (;;) {
            Snapshot now;
            if (!query(now)) return false;
            const SinkEntry* o = own_sink(now);
            if (!o || !detail::sibling_feeds(now, o->index)) {
                note_info("Sound chain: sibling moved on");
                moved_on = true;
                break;
            }
            if (now_ms() - start >= 2500) break;
            unlocked_sleep(100);
        }
        if (!moved_on) note_warn("Sound chain: sibling still plays into our sink");
    }

    Snapshot snap3;
    if (!query(snap3)) return false;
    own = own_sink(snap3);
    drop_stream(g_play);
    g_play_sink.clear();
    if (own) {
        if (g_rec && g_rec_routed.load()) {
            drop_stream(g_rec);
            g_rec_source.clear();
        }
        if (!give_back(*own, snap3, restore_to, restore_to, g_volume_device, restore)) return false;
        note_info("Virtual sink removed (module " + std::to_string(own->owner_module) + ")");
    } else if (const SinkEntry* dev = detail::find_sink(snap3, g_volume_device);
               dev && !dev->ours && !g_sink_volume.empty()) {
        // Our sink is gone already (unloaded by hand, or never confirmed): the volume the user
        // had set on it goes back to the device all the same.
        SinkEntry gone;
        gone.volume = g_sink_volume;
        gone.mute = g_sink_mute;
        if (!set_sink_volume(dev->index, detail::carry_volume(dev->volume, gone.volume))) return false;
        if (gone.mute && !dev->mute) set_sink_mute(dev->index, true);
    }
    g_module = kNoIndex;
    g_volume_device.clear();
    g_sink_volume.clear();
    disarm();
    return true;
}

// Sinks of ours that no copy owns (a second load of a race, a run that died without its
// watchdog): their default, streams and the volume carried into them go back, and they are
// unloaded. Only the copy that holds the routing lock does this. True when one was removed.
bool clean_strays(const Snapshot& snap, const std::string& to) {
    bool removed = false;
    const SinkEntry* own = own_sink(snap);
    for (const SinkEntry& s : snap.sinks) {
        if (!s.ours || s.owner_module == g_module) continue;
        const bool left = g_left.module != kNoIndex && s.owner_module == g_left.module;
        std::string default_to = to;
        if (left && detail::find_sink(snap, g_left.follow) && detail::is_real_sink(g_left.follow))
            default_to = g_left.follow;
        const std::string streams_to = own ? own->name : default_to;
        if (give_back(s, snap, default_to, streams_to, left ? g_left.volume_device : std::string(), true)) {
            note_info("Stray sink " + s.name + " of another run removed (module " +
                      std::to_string(s.owner_module) + ")");
            removed = true;
        }
        if (left) g_left = LeftBehind{};
    }
    return removed;
}

// ===================================================================== The routing lock

// Takes the routing lock for the server this copy is connected to. True when this copy holds it
// (or no lock can be had here at all: then only the streams seen on the server keep two copies
// apart).
bool hold_lock() {
    if (g_lock_fd >= 0) return true;
    if (g_lock_path.empty()) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        const std::string dir = runtime && *runtime ? runtime : "/tmp";
        g_lock_path = detail::lock_path(dir, text_or(pa_context_get_server(g_ctx), "default"),
                                        static_cast<unsigned>(::getuid()));
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = ::open(g_lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) return true;
        struct stat held{}, named{};
        if (::fstat(fd, &held) != 0 || held.st_uid != ::getuid()) {
            ::close(fd);
            return true;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return false;
        }
        // The copy before us may have removed the file between our open and our lock.
        if (::stat(g_lock_path.c_str(), &named) != 0 || named.st_ino != held.st_ino || named.st_dev != held.st_dev) {
            ::close(fd);
            continue;
        }
        g_lock_fd = fd;
        char buf[1024];
        const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
        const std::string text(buf, n > 0 ? static_cast<size_t>(n) : 0);
        size_t at = 0;
        while (at < text.size()) {
            size_t nl = text.find('\n', at);
            if (nl == std::string::npos) nl = text.size();
            const std::string line = text.substr(at, nl - at);
            if (line.rfind("module ", 0) == 0) g_left.module = static_cast<uint32_t>(std::strtoul(line.c_str() + 7, nullptr, 10));
            if (line.rfind("follow ", 0) == 0) g_left.follow = line.substr(7);
            if (line.rfind("volume ", 0) == 0) g_left.volume_device = line.substr(7);
            at = nl + 1;
        }
        g_state_written = text;
        if (g_follow_wanted.empty() && detail::is_real_sink(g_left.follow)) g_follow_wanted = g_left.follow;
        guard::share_lock(fd);
        return true;
    }
    return true;
}

// What a run that dies without its watchdog leaves for the next one. Written without the
// main-loop lock (the file may sit on a slow disk).
void write_state() {
    if (g_lock_fd < 0) return;
    std::string text;
    if (g_module != kNoIndex)
        text = "module " + std::to_string(g_module) + "\nfollow " + g_follow + "\nvolume " + g_volume_device + "\n";
    if (text == g_state_written) return;
    g_state_written = text;
    if (::ftruncate(g_lock_fd, 0) == 0 && !text.empty()) {
        [[maybe_unused]] const ssize_t n = ::pwrite(g_lock_fd, text.data(), text.size(), 0);
    }
}

// `remove`: the work is done, the file goes (removed while still locked, so that a copy waiting
// on it looks again). Without it the watchdog still holds the lock and finishes the job.
void release_lock(bool remove) {
    if (g_lock_fd < 0) return;
    if (remove) ::unlink(g_lock_path.c_str());
    ::close(g_lock_fd);
    g_lock_fd = -1;
    g_state_written.clear();
}

bool lock_free_now() {
    if (g_lock_path.empty()) return false;
    const int fd = ::open(g_lock_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return true;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return !held;
}

// ===================================================================== One pass

enum class Pass { good, failed };

std::string restore_hint() {
    std::lock_guard<std::mutex> lock(g_mtx);
    return g_restore_hint;
}

void on_client_follow(pa_context*, const pa_client_info* info, int eol, void* userdata) {
    if (eol != 0 || !info) {
        signal_loop();
        return;
    }
    const char* app = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME);
    const char* follow = pa_proplist_gets(info->proplist, "lumafon.follow");
    if (app && std::strcmp(app, kAppName) == 0 && follow && *follow && info->index != own_client())
        *static_cast<std::string*>(userdata) = follow;
}

// Tells other copies (a passive one, a device listing) which device this one follows.
void tell_follow() {
    if (g_published_follow == g_follow) return;
    pa_proplist* p = pa_proplist_new();
    pa_proplist_sets(p, "lumafon.follow", g_follow.c_str());
    if (wait_op(pa_context_proplist_update(g_ctx, PA_UPDATE_REPLACE, p, on_success, nullptr)))
        g_published_follow = g_follow;
    pa_proplist_free(p);
}

// Another copy of the program routes: this one leaves the server alone, and its watchdog has
// nothing to guard. The device list and the followed device stay current all the same (the
// routing copy tells which one it follows), so that a device listing works beside a window.
void stay_passive(const Snapshot& snap) {
    drop_stream(g_play);
    drop_stream(g_rec);
    g_play_sink.clear();
    g_rec_source.clear();
    if (g_armed) disarm();
    std::string theirs;
    wait_op(pa_context_get_client_info_list(g_ctx, on_client_follow, &theirs));
    if (detail::find_sink(snap, theirs) && detail::is_real_sink(theirs))
        g_follow = theirs;
    else
        g_follow = detail::next_follow(snap, {g_follow_wanted, g_follow}, restore_hint(), g_prev_default).used;
    std::vector<Device> list = device_list(snap, "", nullptr);
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        g_status.active = false;
        g_status.state = 3;
        g_status.follow = g_follow;
        ++g_status_serial;
        g_devices = std::move(list);
    }
    if (!g_passive_said) note_warn("Another installation is running - this one stays passive");
    g_passive_said = true;
}

// Equaliser off: no sink of our own; the target's monitor is recorded for the display.
Pass monitor_only(const Snapshot& snap, const std::string& target, bool missing, bool takeover) {
    const SinkEntry* t = detail::find_sink(snap, target);
    const uint32_t monitor = t ? t->monitor_source : kNoIndex;
    if (!teardown(snap, target, takeover)) return Pass::failed;
    const std::string source = target + ".monitor";
    const bool keep = g_rec_source == source && stream_alive(g_rec) && monitor != kNoIndex &&
                      pa_stream_get_device_index(g_rec) == monitor;
    if (!keep) open_record(source, false);
    Snapshot now;
    if (!query(now)) return Pass::failed;
    publish(now, target, missing, false, false);
    return stream_alive(g_rec) ? Pass::good : Pass::failed;
}

// Offers our sink once to a sibling that holds the default, then claims the default. The claim
// never overwrites a default the user chose after our reading: the default is read again right
// before, and a newer choice ends the pass (the next one follows it). Failed when the server did
// not answer or our sink vanished on the way.
Pass claim_default(Snapshot& snap, const std::string& followed) {
    const SinkEntry* own = own_sink(snap);
    if (!own) return Pass::failed;
    const std::string own_name = own->name;
    if (detail::is_upstream_sink(snap.default_sink) && snap.default_sink != g_handoff_tried) {
        const uint32_t me = own_client();
        bool fed = false;
        for (const InputEntry& in : snap.inputs) fed = fed || (in.sink == own->index && in.client != me);
        if (!fed) {
            g_handoff_tried = snap.default_sink;
            note_info("Sound chain: " + snap.default_sink + " holds the default - offering our sink once");
            set_default(own_name, kRequestTimeoutMs);
            if (!query(snap) || !own_sink(snap)) return Pass::failed;
        }
    }
    if (g_restricted || snap.default_sink == own_name || detail::is_upstream_sink(snap.default_sink))
        return Pass::good;
    const std::string now = read_default_sink();
    if (now.empty()) return Pass::failed;
    if (now != snap.default_sink && now != own_name && now != followed) {
        mark_dirty(); // the user chose again meanwhile
        return Pass::good;
    }
    // On PipeWire a new default takes effect through WirePlumber, a while after the request
    // returned: a choice the user made a moment ago may not show yet, and our claim would
    // overwrite it unseen (the last of quick changes was lost so). The default must hold still
    // for a moment before we claim it.
    wait_until([] { return false; }, kClaimHoldMs);
    const std::string held = read_default_sink();
    if (held.empty()) return Pass::failed;
    if (held != now) {
        mark_dirty();
        return Pass::good;
    }
    // A refusal is an answer; a server that did not answer refused nothing.
    bool accepted = false;
    if (!wait_op(pa_context_set_default_sink(g_ctx, own_name.c_str(), on_success_flag, &accepted)))
        return Pass::failed;
    const bool refused = !accepted;
    bool taken = false;
    for (int i = 0; i < kClaimChecks && !taken && !refused; ++i) {
        const std::string d = read_default_sink();
        if (d.empty()) return Pass::failed;
        taken = d == own_name;
        if (!taken && d != own_name && d != now && detail::is_real_sink(d)) {
            mark_dirty(); // someone chose another device while we claimed
            return Pass::good;
        }
        if (!taken) wait_until([] { return false; }, 100);
    }
    if (taken) {
        g_claim_refusals = 0;
        g_claim_failing_at = 0;
        return Pass::good;
    }
    // The server answered but the default did not become ours: an environment that refuses it,
    // or a policy that undoes it; or a server that is slow. Only three passes in a row, spread
    // over the patience, count as the former.
    if (g_claim_refusals == 0) g_claim_failing_at = now_ms();
    if (++g_claim_refusals >= 3 && now_ms() - g_claim_failing_at >= kClaimPatienceMs) {
        g_restricted = true;
        note_warn("Default device cannot be set here (restricted environment) - the user picks the sink");
        return Pass::good;
    }
    return Pass::failed;
}

// Streams that asked for a device stay there: one that named its device, or is seen for the first
// time on a real device other than the default, was sent there on purpose. PipeWire lists a new
// stream before it is linked, and may link one that named a device to the default first: a stream
// without a device yet is judged when it has one.
void note_new_streams(const Snapshot& snap) {
    std::vector<uint32_t> seen, pinned, asked;
    for (const InputEntry& in : snap.inputs) {
        const bool known = std::find(g_seen_inputs.begin(), g_seen_inputs.end(), in.index) != g_seen_inputs.end();
        if (known || in.sink != kNoIndex) seen.push_back(in.index);
        const auto was = std::find(g_pinned.begin(), g_pinned.end(), in.index);
        if (was != g_pinned.end()) {
            pinned.push_back(in.index);
            asked.push_back(g_asked_sink[static_cast<size_t>(was - g_pinned.begin())]);
        } else if (!known) {
            const uint32_t device = detail::asked_device(snap, in);
            if (device != kNoIndex) {
                pinned.push_back(in.index);
                asked.push_back(device);
            }
        }
    }
    g_seen_inputs.swap(seen);
    g_pinned.swap(pinned);
    g_asked_sink.swap(asked);
}

// A stream that asked for its device and was moved away meanwhile (the server moves streams along
// with the default) goes back there.
bool return_pinned(const Snapshot& snap) {
    for (size_t i = 0; i < g_pinned.size(); ++i)
        for (const InputEntry& in : snap.inputs)
            if (in.index == g_pinned[i] && in.sink != g_asked_sink[i]) {
                bool present = false;
                for (const SinkEntry& s : snap.sinks) present = present || s.index == g_asked_sink[i];
                if (present && !move_inputs({in.index}, g_asked_sink[i])) return false;
            }
    return true;
}

// Takes over our sink of a run that died: from the routing lock's record when there is one (with
// the device it followed and the volume it carried), else a sink named "lumafon".
void adopt(const Snapshot& snap) {
    const SinkEntry* found = nullptr;
    for (const SinkEntry& s : snap.sinks)
        if (s.ours && g_left.module != kNoIndex && s.owner_module == g_left.module) found = &s;
    if (!found)
        for (const SinkEntry& s : snap.sinks)
            if (s.ours && s.name == kSinkName) found = &s;
    if (!found) return;
    g_module = found->owner_module;
    if (found->owner_module == g_left.module) {
        if (detail::is_real_sink(g_left.follow)) g_follow_wanted = g_left.follow;
        g_volume_device = g_left.volume_device;
        g_left = LeftBehind{};
    }
    note_info("Virtual sink taken over from the last run");
}

// Equaliser on: own sink, default claimed, streams gathered, monitor -> filter bank -> target.
Pass route(Snapshot snap, const std::string& target, bool missing, bool takeover) {
    if (!own_sink(snap)) {
        if (g_module != kNoIndex)
            note_warn("Own sink vanished (module " + std::to_string(g_module) + ") - audio path rebuilt");
        g_module = kNoIndex;
        if (!load_sink()) {
            publish(snap, target, missing, false, false);
            return Pass::failed;
        }
        if (!query(snap) || !own_sink(snap)) {
            publish(snap, target, missing, false, false);
            return Pass::failed;
        }
        // A rebuilt sink starts at full volume: it takes on the volume the user had set on the
        // one before.
        const SinkEntry* fresh = own_sink(snap);
        if (!g_volume_device.empty() && !g_sink_volume.empty()) {
            if (!set_sink_volume(fresh->index, g_sink_volume)) return Pass::failed;
            if (g_sink_mute) set_sink_mute(fresh->index, true);
            if (!query(snap) || !own_sink(snap)) return Pass::failed;
        }
    }
    arm(g_follow);

    bool fresh_output = false;
    const SinkEntry* t = detail::find_sink(snap, target);
    const bool keep_play =
        g_play_sink == target && stream_alive(g_play) && t && pa_stream_get_device_index(g_play) == t->index;
    if (!keep_play) {
        fresh_output = true;
        if (g_play_sink == target && stream_alive(g_play))
            note_warn("Playback was attached to a vanished device - reconnected");
        open_playback(target);
    }

    const SinkEntry* own = own_sink(snap);
    const std::string monitor = own->name + ".monitor";
    const bool keep_rec = g_rec_source == monitor && stream_alive(g_rec) && own->monitor_source != kNoIndex &&
                          own->monitor_source == pa_stream_get_device_index(g_rec) && g_rec_routed.load();
    if (!keep_rec) {
        if (g_rec_source == monitor && stream_alive(g_rec))
            note_warn("Recording was attached to a vanished source - reconnected");
        g_proc.set_format(static_cast<float>(kRate), 2);
        open_record(monitor, true);
        if (g_rec_source == monitor && !restart_sink_clock(own->name)) {
            note_warn("Own sink could not be resumed - trying again");
            return Pass::failed;
        }
    } else if (own->suspended) {
        // Suspended by someone else (our recording keeps it from idling): all sound would be
        // silent while the status says active.
        note_warn("Own sink was suspended - resumed");
        if (!suspend_own(own->name, false)) return Pass::failed;
    }

    if (!detail::is_upstream_sink(snap.default_sink)) g_handoff_tried.clear();
    if (fresh_output) {
        settle_output();
        g_top_up_since = now_ms();
    }
    // A claim the server has not confirmed yet makes the pass one to repeat soon, but the path
    // is up and the status says so meanwhile.
    bool claimed = true;
    if (takeover && !g_restricted) {
        claimed = claim_default(snap, g_follow) == Pass::good;
        if (!query(snap) || !own_sink(snap)) return Pass::failed;
        own = own_sink(snap);
        if (!g_restricted && snap.default_sink == own->name) {
            // The desktop's volume controls now act on our sink: the user's volume moves there.
            if (g_volume_device != target) {
                if (const SinkEntry* old = detail::find_sink(snap, g_volume_device); old && !old->ours) {
                    if (!release_volume(*own, *old)) return Pass::failed;
                    if (!query(snap) || !own_sink(snap)) return Pass::failed;
                    own = own_sink(snap);
                }
                g_volume_device.clear();
                if (const SinkEntry* dev = detail::find_sink(snap, target)) {
                    if (!park_volume(*own, *dev)) return Pass::failed;
                    g_volume_device = target;
                }
                arm(g_follow);
            }
            const std::vector<uint32_t> gather =
                detail::streams_to_gather(snap, target, own_client(), own->index, g_pinned);
            if (!move_inputs(gather, own->index) || !return_pinned(snap)) return Pass::failed;
            if (!gather.empty()) g_top_up_since = now_ms();
        }
    }
    if (g_restricted && !g_volume_device.empty()) {
        own = own_sink(snap);
        if (const SinkEntry* dev = detail::find_sink(snap, g_volume_device); own && dev && !dev->ours)
            if (!release_volume(*own, *dev)) return Pass::failed;
        g_volume_device.clear();
        arm(g_follow);
    }

    Snapshot final_snap;
    if (!query(final_snap)) return Pass::failed;
    if (const SinkEntry* o = own_sink(final_snap)) {
        g_sink_volume = o->volume;
        g_sink_mute = o->mute;
    }
    // While a claim waits for the server to confirm it, the default is about to become ours:
    // asking the user to pick an output by hand then would be a false alarm on every slow start.
    const bool select = claimed && detail::select_output(final_snap, takeover, own_client());
    const bool running = stream_alive(g_play) && stream_alive(g_rec);
    publish(final_snap, target, missing, running, select);
    return running && claimed ? Pass::good : Pass::failed;
}

Pass reconcile(bool active, const std::string& want_output, bool takeover, int mute) {
    Snapshot snap;
    if (!query(snap)) return Pass::failed;
    g_lock_ok = hold_lock();
    if (!g_lock_ok || (snap.other_instance && g_module == kNoIndex)) {
        stay_passive(snap);
        return Pass::good;
    }
    note_new_streams(snap);
    if (active && g_module == kNoIndex) adopt(snap);
    const detail::Follow f = detail::next_follow(snap, {g_follow_wanted, g_follow}, restore_hint(), g_prev_default);
    g_prev_default = snap.default_sink;
    g_follow_wanted = f.wanted;
    g_follow = f.used;
    if (clean_strays(snap, g_follow) && !query(snap)) return Pass::failed;
    const detail::Target t = detail::choose_target(snap, g_follow, want_output);

    if (mute >= 0) {
        if (!t.sink.empty()) {
            wait_op(pa_context_set_sink_mute_by_name(g_ctx, t.sink.c_str(), mute, on_success, nullptr));
            if (mute == 0)
                if (const SinkEntry* own = own_sink(snap))
                    wait_op(pa_context_set_sink_mute_by_index(g_ctx, own->index, 0, on_success, nullptr));
            note_info(mute ? "Muted" : "Unmuted");
        }
        if (!query(snap)) return Pass::failed;
    }

    Pass result = Pass::good;
    if (t.sink.empty()) {
        // Nothing to play to. A loaded sink and its recording stay, so that the streams gathered
        // in it are still ours when a device comes back.
        if (!(active && own_sink(snap))) {
            if (!teardown(snap, t.sink, takeover)) result = Pass::failed;
            drop_stream(g_rec);
            g_rec_source.clear();
        }
        drop_stream(g_play);
        g_play_sink.clear();
        publish(snap, t.sink, t.missing, false, false);
    } else if (!active) {
        result = monitor_only(snap, t.sink, t.missing, takeover);
    } else {
        result = route(std::move(snap), t.sink, t.missing, takeover);
    }
    if (result == Pass::good) tell_follow();
    return result;
}

// ===================================================================== Control loop

bool connect_locked() {
    pa_proplist* props = make_props("control");
    g_ctx = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(g_ml), kAppName, props);
    pa_proplist_free(props);
    if (!g_ctx) return false;
    g_ctx_lost = false;
    g_published_follow.clear();
    pa_context_set_state_callback(
        g_ctx,
        [](pa_context* c, void*) {
            const pa_context_state_t st = pa_context_get_state(c);
            if (st == PA_CONTEXT_FAILED || st == PA_CONTEXT_TERMINATED) {
                g_ctx_lost.exchange(true);
                mark_dirty();
            }
            signal_loop();
        },
        nullptr);
    if (pa_context_connect(g_ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    wait_until(
        [] {
            const pa_context_state_t st = pa_context_get_state(g_ctx);
            return st != PA_CONTEXT_CONNECTING && st != PA_CONTEXT_AUTHORIZING &&
                   st != PA_CONTEXT_SETTING_NAME;
        },
        kRequestTimeoutMs);
    return pa_context_get_state(g_ctx) == PA_CONTEXT_READY;
}

void on_event(pa_context*, pa_subscription_event_type_t event, uint32_t index, void*) {
    const unsigned facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const unsigned type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    // Changes of the streams are the pass's own doing (or need nothing from us), except for a
    // stream that asked for its device: the server (WirePlumber) may move it along with the
    // default after our pass has looked, and it must go back. g_pinned is the control thread's,
    // but it changes only under the main-loop lock, which callbacks hold.
    const bool pinned = facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT && type == PA_SUBSCRIPTION_EVENT_CHANGE &&
                        std::find(g_pinned.begin(), g_pinned.end(), index) != g_pinned.end();
    if (facility == PA_SUBSCRIPTION_EVENT_SINK || pinned ||
        (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT && type == PA_SUBSCRIPTION_EVENT_NEW) ||
        (facility == PA_SUBSCRIPTION_EVENT_SERVER && type == PA_SUBSCRIPTION_EVENT_CHANGE))
        mark_dirty();
}

struct Requests {
    bool active = false;
    bool takeover = true;
    std::string output;
    std::string hint;
    int mute = -1;
};

enum class Wake { quit, pass, idle };

// Waits for the next reason to run a pass.
Wake wait_for_work() {
    std::unique_lock<std::mutex> lock(g_mtx);
    if (g_quit) return Wake::quit;
    if (g_dirty) return Wake::pass;
    // A copy kept passive by the routing lock looks at the lock (no server request) four times a
    // second, so that it takes over soon after the other copy ends.
    const bool lock_passive = g_status.state == 3 && g_lock_fd < 0 && !g_lock_path.empty();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lock_passive ? 250 : 2000);
    while (!g_dirty && !g_quit)
        if (g_cv.wait_until(lock, deadline) == std::cv_status::timeout) break;
    if (g_quit) return Wake::quit;
    if (g_dirty || !g_ctx || g_ctx_lost.load()) return Wake::pass;
    if (lock_passive) {
        lock.unlock();
        return lock_free_now() ? Wake::pass : Wake::idle;
    }
    // Without events a pass is due only while unconnected or passive: a passive copy takes
    // over within about two seconds after the other one ends.
    if (g_status.state == 3) return Wake::pass;
    return Wake::idle;
}

// The pause before a pass: 60 ms gathers a burst of events into one pass; after failed passes it
// grows (doubling, up to `cap_ms`), so that a server or a device that keeps failing costs a few
// requests a second at most. A request of the user's or the quit ends the pause.
void pause_before_pass(int cap_ms) {
    int ms = 60;
    for (int i = 0; i < g_fail_streak && ms < cap_ms; ++i) ms *= 2;
    ms = std::min(ms, std::max(cap_ms, 60));
    if (g_fail_streak == 0) {
        sleep_ms(ms);
        return;
    }
    std::unique_lock<std::mutex> lock(g_mtx);
    g_poked = false;
    g_cv.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_quit || g_poked; });
}

Requests take_requests() {
    std::lock_guard<std::mutex> lock(g_mtx);
    g_dirty = false;
    g_poked = false;
    Requests r;
    r.active = g_want_active;
    r.takeover = g_takeover;
    r.output = g_want_output;
    r.hint = g_restore_hint;
    r.mute = g_want_mute;
    g_want_mute = -1;
    return r;
}

struct Stats {
    uint64_t since = 0;
    uint64_t drops = 0;
    uint64_t underruns = 0;

    void minute() {
        const uint64_t now = now_ms();
        if (since == 0) since = now;
        if (now - since < 60000) return;
        since = now;
        const uint64_t d = g_drop_events.load();
        const uint64_t u = g_underflows.load();
        if (d != drops || u != underruns)
            logger::info("Audio path last minute: " + std::to_string(d - drops) + "x dropped, " +
                         std::to_string(u - underruns) + "x buffer underrun");
        drops = d;
        underruns = u;
    }
};

// Connects when there is no connection. False when no server answers.
bool ensure_connection(const Requests& req) {
    if (g_ctx_lost.load()) {
        disconnect_locked();
        g_module = kNoIndex; // a sink that survived is adopted again by the pass
        g_seen_inputs.clear();
        g_pinned.clear();
        g_asked_sink.clear();
    }
    if (g_ctx) return true;
    if (!connect_locked()) {
        disconnect_locked();
        return false;
    }
    pa_context_set_subscribe_callback(g_ctx, on_event, nullptr);
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SERVER);
    if (!wait_op(pa_context_subscribe(g_ctx, mask, on_success, nullptr))) {
        disconnect_locked();
        return false;
    }
    note_info(std::string("Sound server connected: ") + text_or(pa_context_get_server(g_ctx), "?"));
    if (g_follow_wanted.empty() && detail::is_real_sink(req.hint)) g_follow_wanted = req.hint;
    if (g_follow.empty() && detail::is_real_sink(req.hint)) g_follow = req.hint;
    g_no_server_said = false;
    return true;
}

// Quitting: everything of ours goes back within a few seconds, or the watchdog finishes it.
constexpr int kQuitMs = 3000;

// Asks RealtimeKit on the system bus for real-time scheduling of thread `tid`. On failure `why`
// says what went wrong; the desktop may simply not have the service.
bool realtime_kit(pid_t tid, int priority, std::string* why) {
    GError* err = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &err);
    if (!bus) {
        *why = std::string("no system bus: ") + (err ? err->message : "?");
        if (err) g_error_free(err);
        return false;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.RealtimeKit1", "/org/freedesktop/RealtimeKit1", "org.freedesktop.RealtimeKit1",
        "MakeThreadRealtime", g_variant_new("(tu)", static_cast<guint64>(tid), static_cast<guint32>(priority)),
        nullptr, G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &err);
    const bool ok = reply != nullptr;
    if (reply) g_variant_unref(reply);
    if (err) {
        *why = std::string("RealtimeKit: ") + err->message;
        g_error_free(err);
    }
    g_object_unref(bus);
    return ok;
}

// The audio thread must run the moment the server hands over sound, also while a compile keeps
// every core busy: real-time scheduling (round robin, low priority, not inherited by children),
// directly where the user may have it, else through the desktop's RealtimeKit service. Without
// either, the adaptive cushion alone has to ride out the delays.
void raise_audio_priority() {
    // A timer due at once tells which thread the audio thread is.
    pa_threaded_mainloop_lock(g_ml);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(g_ml);
    timeval tv{};
    pa_gettimeofday(&tv);
    api->time_new(
        api, &tv,
        [](pa_mainloop_api* a, pa_time_event* e, const struct timeval*, void*) {
            g_audio_tid = static_cast<pid_t>(syscall(SYS_gettid));
            a->time_free(e);
        },
        nullptr);
    pa_threaded_mainloop_unlock(g_ml);
    pid_t tid = 0;
    for (int i = 0; i < 100 && (tid = g_audio_tid.load()) == 0; ++i) sleep_ms(10);
    if (tid == 0) return;
    constexpr int kPriority = 5;
    sched_param param{};
    param.sched_priority = kPriority;
    if (sched_setscheduler(tid, SCHED_RR | SCHED_RESET_ON_FORK, &param) == 0) {
        logger::info("Audio thread runs at real-time priority " + std::to_string(kPriority));
        return;
    }
    const int direct = errno;
    // RealtimeKit serves only processes that limit their real-time CPU time.
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) == 0 && limit.rlim_max == RLIM_INFINITY) {
        limit.rlim_cur = limit.rlim_max = 200000;
        setrlimit(RLIMIT_RTTIME, &limit);
    }
    std::string why;
    if (realtime_kit(tid, kPriority, &why)) {
        logger::info("Audio thread runs at real-time priority " + std::to_string(kPriority) +
                     " (RealtimeKit)");
        return;
    }
    logger::info(std::string("Audio thread runs at normal priority (") + std::strerror(direct) + "; " + why + ")");
}

void control_loop() {
    raise_audio_priority();
    Stats stats;
    while (true) {
        stats.minute();
        const Wake wake = wait_for_work();
        if (wake == Wake::quit) break;
        if (wake == Wake::idle) continue;
        pause_before_pass(g_ctx ? 2000 : 500);
        const Requests req = take_requests();
        {
            std::lock_guard<std::mutex> lock(g_mtx);
            if (g_quit) break;
        }

        pa_threaded_mainloop_lock(g_ml);
        if (!ensure_connection(req)) {
            pa_threaded_mainloop_unlock(g_ml);
            flush_notes();
            if (!g_no_server_said) logger::warn("No sound server reachable");
            g_no_server_said = true;
            pass_failed();
            std::lock_guard<std::mutex> lock(g_mtx);
            g_status.active = false;
            g_status.state = 2;
            ++g_status_serial;
            g_dirty = true;
            continue;
        }
        g_passes.fetch_add(1);
        const Pass result = reconcile(req.active, req.output, req.takeover, req.mute);
        if (result == Pass::good) log_audio_hardware();
        pa_threaded_mainloop_unlock(g_ml);
        write_state();
        flush_notes();
        if (result == Pass::good) {
            pass_succeeded();
        } else {
            pass_failed();
            std::lock_guard<std::mutex> lock(g_mtx);
            g_dirty = true;
        }
    }

    g_deadline = now_ms() + kQuitMs;
    pa_threaded_mainloop_lock(g_ml);
    bool takeover;
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        takeover = g_takeover;
    }
    bool done = !g_armed && g_module == kNoIndex;
    if (g_ctx && !g_ctx_lost.load()) {
        Snapshot snap;
        if (query(snap)) {
            // A passive copy owns nothing: the sink, its streams and the default belong to the copy
            // that routes, which must not lose them because a second copy (or a device listing) ends.
            if ((snap.other_instance && g_module == kNoIndex) || !g_lock_ok) {
                if (g_armed) disarm();
                done = true;
            } else {
                done = teardown(snap, g_follow, takeover);
            }
        }
    }
    disconnect_locked();
    pa_threaded_mainloop_unlock(g_ml);
    if (!done) {
        note_warn("Sound server did not answer in time - the watchdog finishes the clean-up");
        guard::hand_over();
    }
    release_lock(done);
    flush_notes();
    g_deadline = 0;
    if (g_dropped.load() || g_underflows.load())
        logger::info("Audio path total: dropped " + std::to_string(g_dropped.load()) + " bytes in " +
                     std::to_string(g_drop_events.load()) + " chunks, buffer underruns " +
                     std::to_string(g_underflows.load()) + "x");
    const detail::PathFigures f = detail::path_figures();
    char line[120];
    std::snprintf(line, sizeof line, "Audio path settled: cushion %.0f ms, stretch %+.0f ppm against the device clock",
                  f.target_ms, f.ppm);
    logger::info(line);
}

// Plain main loop iterations, none waiting more than 100 ms, until `done` holds, an iteration
// fails or `limit_ms` have passed: the watchdog waits for a stalled server, but not for ever.
template <class Done> bool iterate_until(pa_mainloop* ml, Done done, int limit_ms) {
    const uint64_t end = now_ms() + static_cast<uint64_t>(limit_ms);
    while (!done()) {
        if (now_ms() >= end) return false;
        if (pa_mainloop_prepare(ml, 100000) < 0 || pa_mainloop_poll(ml) < 0 || pa_mainloop_dispatch(ml) < 0)
            return false;
    }
    return true;
}

bool iterate_op(pa_mainloop* ml, pa_operation* op) {
    if (!op) return false;
    const bool ok = iterate_until(
        ml, [op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, 10000);
    const bool done = ok && pa_operation_get_state(op) == PA_OPERATION_DONE;
    if (!ok) pa_operation_cancel(op);
    pa_operation_unref(op);
    return done;
}

} // namespace

// ===================================================================== Public operations

bool start(bool takeover) {
    if (g_ml) return true;
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        g_takeover = takeover;
        g_quit = false;
        g_dirty = true;
        g_status = Status{};
        ++g_status_serial;
        g_devices.clear();
    }
    g_module = kNoIndex;
    g_follow.clear();
    g_follow_wanted.clear();
    g_prev_default.clear();
    g_restricted = g_snap_no_sink = g_passive_said = g_no_server_said = g_armed = g_lock_ok = false;
    g_claim_refusals = g_fail_streak = 0;
    g_claim_failing_at = 0;
    g_handoff_tried.clear();
    g_volume_device.clear();
    g_sink_volume.clear();
    g_seen_inputs.clear();
    g_pinned.clear();
    g_asked_sink.clear();
    g_published_follow.clear();
    g_lock_path.clear();
    g_left = LeftBehind{};
    g_streak_said.clear();
    g_deadline = 0;

    pa_threaded_mainloop* ml = pa_threaded_mainloop_new();
    if (!ml) return false;
    pa_threaded_mainloop_set_name(ml, "Lumaf-audio");
    if (pa_threaded_mainloop_start(ml) < 0) {
        pa_threaded_mainloop_free(ml);
        return false;
    }
    g_ml = ml;
    g_proc.set_format(static_cast<float>(kRate), 2);
    // A second of sound in one piece before the audio thread has to grow its buffers.
    g_scratch.reserve(static_cast<size_t>(kRate) * 2);
    g_stretch.reserve(kRate);
    g_thread = std::thread(control_loop);
    return true;
}

void stop() {
    if (!g_ml) return;
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        g_quit = true;
    }
    // A pass under way gives up its waits soon; the clean-up then has a deadline of its own.
    g_deadline = now_ms() + 1500;
    g_cv.notify_all();
    if (g_thread.joinable()) g_thread.join();
    pa_threaded_mainloop_stop(g_ml);
    pa_threaded_mainloop_free(g_ml);
    g_ml = nullptr;
}

void set_active(bool on) {
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        if (g_want_active == on) return;
        g_want_active = on;
        g_poked = true;
    }
    mark_dirty();
}

void set_output(const std::string& sink) {
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        if (g_want_output == sink) return;
        g_want_output = sink;
        g_poked = true;
    }
    mark_dirty();
}

void set_mute(bool on) {
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        g_status.muted = on;
        ++g_status_serial;
        g_want_mute = on ? 1 : 0;
        g_poked = true;
    }
    mark_dirty();
}

void set_restore_hint(const std::string& sink) {
    std::lock_guard<std::mutex> lock(g_mtx);
    g_restore_hint = sink;
}

void set_curve(const eq::Curve& curve) {
    eq::Curve usable;
    if (!detail::usable_curve(curve, &usable)) {
        logger::warn("Curve rejected: a gain is not a number or far out of range");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_curve_mtx);
        g_curve = usable;
    }
    g_curve_version.fetch_add(1);
}

bool tap(float* left, float* right, int count, float* rate, unsigned long* serial, bool delayed) {
    char log_line[160] = "";
    {
        std::lock_guard<std::mutex> lock(g_tap_mtx);
        if (serial) *serial = static_cast<unsigned long>(g_tap_serial);
        if (rate) *rate = static_cast<float>(kRate);
        if (g_tap_serial == 0) return false;
        count = std::clamp(count, 0, kMaxTapRead);
        const int d = delayed ? delay_for_read(count, log_line) : 0;
        int idx = (g_tap_pos - d - count) & kTapMask;
        for (int i = 0; i < count; ++i) {
            left[i] = g_tap_l[idx];
            right[i] = g_tap_r[idx];
            idx = (idx + 1) & kTapMask;
        }
    }
    if (log_line[0]) logger::info(log_line);
    return true;
}

float tap_age() {
    std::lock_guard<std::mutex> lock(g_tap_mtx);
    if (g_tap_serial == 0) return 0;
    return static_cast<float>(static_cast<double>(now_us() - g_tap_at_us) * 1e-6);
}

void take_peaks(float* left, float* right) {
    std::lock_guard<std::mutex> lock(g_tap_mtx);
    uint64_t d = static_cast<uint64_t>(std::max(0.0f, g_delay_frames + 0.5f));
    d = std::min<uint64_t>(d, std::min<uint64_t>(g_tap_total, static_cast<uint64_t>(kMaxDelayFrames)));
    const uint64_t end = g_tap_total - d;
    // After a long pause only the last 10 ms count; the rest would be stale and may have been
    // overwritten in the ring.
    if (g_peak_end > end || end - g_peak_end > 16384) g_peak_end = end < 480 ? 0 : end - 480;
    float pl = 0, pr = 0;
    if (g_peak_end < end) {
        for (uint64_t f = g_peak_end; f < end; ++f) {
            const int idx = static_cast<int>((static_cast<uint64_t>(g_tap_pos) + f - g_tap_total) & kTapMask);
            pl = std::max(pl, std::fabs(g_tap_l[idx]));
            pr = std::max(pr, std::fabs(g_tap_r[idx]));
        }
        g_peak_end = end;
    }
    *left = pl;
    *right = pr;
}

float display_delay() {
    std::lock_guard<std::mutex> lock(g_tap_mtx);
    return g_delay_frames / static_cast<float>(kRate);
}

std::vector<Device> devices() {
    std::lock_guard<std::mutex> lock(g_mtx);
    return g_devices;
}

Status status() {
    std::lock_guard<std::mutex> lock(g_mtx);
    return g_status;
}

bool status_changed(unsigned long* serial, Status* out) {
    std::lock_guard<std::mutex> lock(g_mtx);
    if (*serial == g_status_serial) return false;
    *serial = g_status_serial;
    *out = g_status;
    return true;
}

void setup_devices() {}

bool has_system_filter() {
    return false;
}

void remove_system_filter() {}

bool rescue(const std::string& restore_to) {
    return rescue(restore_to, kNoIndex, {});
}

namespace {

void on_rescue_server(pa_context*, const pa_server_info* info, void* userdata) {
    if (info && info->default_sink_name) static_cast<std::string*>(userdata)->assign(info->default_sink_name);
}

void on_rescue_sink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    if (eol == 0 && info) static_cast<std::vector<SinkEntry>*>(userdata)->push_back(sink_entry(info));
}

} // namespace

bool rescue(const std::string& restore_to, uint32_t module, const std::string& volume_device) {
    pa_mainloop* ml = pa_mainloop_new();
    if (!ml) return false;
    pa_context* ctx = pa_context_new(pa_mainloop_get_api(ml), "Lumafon guard");
    if (!ctx) {
        pa_mainloop_free(ml);
        return false;
    }
    bool reached = false;
    // A server that stalls is waited for (up to half a minute): the clean-up is still needed
    // when it answers again.
    if (pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        iterate_until(
            ml,
            [ctx] {
                const pa_context_state_t st = pa_context_get_state(ctx);
                return st != PA_CONTEXT_CONNECTING && st != PA_CONTEXT_AUTHORIZING &&
                       st != PA_CONTEXT_SETTING_NAME;
            },
            30000);
        reached = pa_context_get_state(ctx) == PA_CONTEXT_READY;
    }
    if (reached) {
        std::string default_sink;
        std::vector<SinkEntry> sinks;
        iterate_op(ml, pa_context_get_server_info(ctx, on_rescue_server, &default_sink));
        iterate_op(ml, pa_context_get_sink_info_list(ctx, on_rescue_sink, &sinks));
        const SinkEntry* own = nullptr;
        const SinkEntry* device = nullptr;
        for (const SinkEntry& s : sinks) {
            // Only the sink of the module we were told of, and only while that module still owns a
            // sink of ours: after a server restart the number may belong to something else.
            if (s.ours && (module == kNoIndex ? s.name == kSinkName : s.owner_module == module)) own = &s;
            if (!s.ours && !volume_device.empty() && s.name == volume_device) device = &s;
        }
        if (own) {
            if (device) {
                pa_cvolume cv;
                pa_cvolume_init(&cv);
                const std::vector<uint32_t> v = detail::carry_volume(device->volume, own->volume);
                cv.channels = static_cast<uint8_t>(std::min<size_t>(v.size(), PA_CHANNELS_MAX));
                for (unsigned i = 0; i < cv.channels; ++i) cv.values[i] = v[i];
                if (pa_cvolume_valid(&cv))
                    iterate_op(ml, pa_context_set_sink_volume_by_index(ctx, device->index, &cv, nullptr, nullptr));
                if (own->mute && !device->mute)
                    iterate_op(ml, pa_context_set_sink_mute_by_index(ctx, device->index, 1, nullptr, nullptr));
            }
            if (default_sink == own->name && !restore_to.empty())
                iterate_op(ml, pa_context_set_default_sink(ctx, restore_to.c_str(), nullptr, nullptr));
            if (own->owner_module != kNoIndex)
                iterate_op(ml, pa_context_unload_module(ctx, own->owner_module, nullptr, nullptr));
        }
        pa_context_disconnect(ctx);
    }
    pa_context_unref(ctx);
    pa_mainloop_free(ml);
    return reached;
}

std::string hw_details(const pa_proplist* properties) {
    if (!properties) return {};
    static const char* const kKeys[][2] = {
        {"api", "device.api"},
        {"bus", "device.bus"},
        {"vendor", "device.vendor.name"},
        {"product", "device.product.name"},
        {"card", "alsa.card_name"},
        {"profile", "device.profile.description"},
    };
    std::string out;
    auto add = [&out](const char* key, const char* value) {
        if (value && *value) out += std::string(", ") + key + " " + value;
    };
    for (const auto& k : kKeys) add(k[0], pa_proplist_gets(properties, k[1]));
    const char* codec = pa_proplist_gets(properties, "api.bluez5.codec");
    if (!codec || !*codec) codec = pa_proplist_gets(properties, "bluetooth.codec");
    add("codec", codec);
    return out;
}

// ===================================================================== Rules without a server

namespace detail {

bool is_upstream_sink(const std::string& name) {
    for (const char* s : kSiblings)
        if (name == s) return true;
    return false;
}

bool is_own_kind(const std::string& name, const std::string& icon_name, const std::string& description) {
    const std::string prefix = std::string(kSinkName) + ".";
    const bool named = name == kSinkName || (name.size() > prefix.size() && name.rfind(prefix, 0) == 0);
    return named && (icon_name == kSinkName || description == kAppName);
}

bool is_real_sink(const std::string& name) {
    return !name.empty() && name != kSinkName && name.rfind(std::string(kSinkName) + ".", 0) != 0 &&
           !is_upstream_sink(name);
}

const SinkEntry* find_sink(const Snapshot& snap, const std::string& name) {
    for (const SinkEntry& s : snap.sinks)
        if (s.name == name) return &s;
    return nullptr;
}

namespace {

std::string lower_ascii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool present_real(const Snapshot& snap, const std::string& name) {
    const SinkEntry* s = find_sink(snap, name);
    return is_real_sink(name) && s && !s->ours;
}

} // namespace

bool sibling_feeds(const Snapshot& snap, uint32_t sink_index) {
    for (const InputEntry& in : snap.inputs)
        if (in.sink == sink_index && is_upstream_sink(lower_ascii(in.app_name))) return true;
    return false;
}

Follow next_follow(const Snapshot& snap, const Follow& previous, const std::string& hint,
                   const std::string& previous_default) {
    Follow f = previous;
    const bool fallback = !previous_default.empty() && snap.default_sink != previous_default &&
                          !find_sink(snap, previous_default);
    if (!fallback && present_real(snap, snap.default_sink)) f.wanted = snap.default_sink;
    // A sibling holding the default plays on to some real device: that one is followed.
    if (is_upstream_sink(snap.default_sink))
        for (const InputEntry& in : snap.inputs)
            if (lower_ascii(in.app_name) == snap.default_sink)
                for (const SinkEntry& s : snap.sinks)
                    if (s.index == in.sink && present_real(snap, s.name)) f.wanted = s.name;
    if (f.wanted.empty() && present_real(snap, hint)) f.wanted = hint;
    if (present_real(snap, f.wanted)) {
        f.used = f.wanted;
        return f;
    }
    if (present_real(snap, f.used)) return f;
    if (present_real(snap, hint)) {
        f.used = hint;
        return f;
    }
    f.used.clear();
    for (const SinkEntry& s : snap.sinks)
        if (present_real(snap, s.name)) {
            f.used = s.name;
            break;
        }
    return f;
}

std::string choose_follow(const Snapshot& snap, const std::string& previous, const std::string& hint) {
    return next_follow(snap, {previous, previous}, hint, {}).used;
}

Target choose_target(const Snapshot& snap, const std::string& follow, const std::string& want_output) {
    if (want_output.empty()) return {follow, false};
    if (!present_real(snap, want_output)) return {follow, true};
    return {want_output, false};
}

std::vector<uint32_t> streams_to_gather(const Snapshot& snap, const std::string& target, uint32_t own_client,
                                        uint32_t own_index, const std::vector<uint32_t>& pinned) {
    const SinkEntry* t = find_sink(snap, target);
    const SinkEntry* d = find_sink(snap, snap.default_sink);
    std::vector<uint32_t> out;
    if (own_index == kNoIndex) return out;
    for (const InputEntry& in : snap.inputs) {
        if (in.client == own_client || in.sink == own_index) continue;
        if (std::find(pinned.begin(), pinned.end(), in.index) != pinned.end()) continue;
        if ((t && in.sink == t->index) || (d && in.sink == d->index && !is_upstream_sink(d->name) && !d->ours))
            out.push_back(in.index);
    }
    return out;
}

std::vector<uint32_t> streams_to_gather(const Snapshot& snap, const std::string& target,
                                        uint32_t own_client) {
    const SinkEntry* own = find_sink(snap, kSinkName);
    return streams_to_gather(snap, target, own_client, own ? own->index : kNoIndex, {});
}

uint32_t asked_device(const Snapshot& snap, const InputEntry& input) {
    if (input.ours) return kNoIndex;
    const SinkEntry* on = find_sink(snap, input.target);
    for (const SinkEntry& s : snap.sinks)
        if (!on && s.index == input.sink) on = &s;
    return on && present_real(snap, on->name) && on->name != snap.default_sink ? on->index : kNoIndex;
}

std::vector<uint32_t> carry_volume(const std::vector<uint32_t>& onto, const std::vector<uint32_t>& from) {
    if (from.empty()) return onto;
    std::vector<uint32_t> out = onto;
    const uint32_t loudest = *std::max_element(from.begin(), from.end());
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = pa_sw_volume_multiply(out[i], onto.size() == from.size() ? from[i] : loudest);
    return out;
}

std::string lock_path(const std::string& dir, const std::string& server, unsigned uid) {
    uint64_t h = 1469598103934665603ull; // FNV-1a
    for (unsigned char c : server) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return dir + "/lumafon-" + std::to_string(uid) + "-" + hex + ".lock";
}

bool select_output(const Snapshot& snap, bool takeover, uint32_t own_client) {
    if (!takeover || snap.default_sink.empty()) return false;
    const SinkEntry* def = find_sink(snap, snap.default_sink);
    if (def && def->ours) return false;
    if (snap.default_sink == kSinkName) return false;
    if (!is_upstream_sink(snap.default_sink)) return true;
    const SinkEntry* own = find_sink(snap, kSinkName);
    if (!own) return true;
    for (const InputEntry& in : snap.inputs)
        if (in.sink == own->index && in.client != own_client) return false;
    return true;
}

std::vector<uint32_t> not_arrived(const Snapshot& snap, const std::vector<uint32_t>& moved, uint32_t sink) {
    std::vector<uint32_t> out;
    for (const InputEntry& in : snap.inputs)
        if (in.sink != sink && std::find(moved.begin(), moved.end(), in.index) != moved.end())
            out.push_back(in.index);
    return out;
}

void LatencyRing::add(float frames, float* median, float* lo, float* hi) {
    hist[pos] = frames;
    pos = (pos + 1) % 64;
    n = std::min(n + 1, 64);
    float sorted[64] = {};
    std::copy(hist, hist + n, sorted);
    std::nth_element(sorted, sorted + n / 2, sorted + n);
    *median = sorted[n / 2];
    *lo = *std::min_element(hist, hist + n);
    *hi = *std::max_element(hist, hist + n);
}

float follow_delay(float current, float target, uint64_t now_ms, uint64_t at_ms) {
    float step;
    if (at_ms == 0) {
        step = std::clamp(target - current, -2400.0f, 2400.0f);
    } else {
        const float dt = static_cast<float>(now_ms - at_ms) * 0.001f;
        if (dt < 0.5f) {
            const float limit = dt * 0.05f * kRate;
            step = std::clamp((target - current) * dt, -limit, limit);
        } else {
            step = std::clamp((target - current) * 0.5f, -1200.0f, 1200.0f);
        }
    }
    return current + step;
}

PathFigures path_figures() {
    PathFigures f;
    f.target_ms = g_pub_target_ms.load(std::memory_order_relaxed);
    f.ppm = g_pub_ppm.load(std::memory_order_relaxed);
    f.queue_ms = g_pub_queue_ms.load(std::memory_order_relaxed);
    f.dropped_blocks = g_drop_events.load();
    f.underruns = g_underflows.load();
    return f;
}

bool usable_curve(const eq::Curve& in, eq::Curve* out) {
    constexpr float kRange = 12.0f;
    eq::Curve c = in;
    float* gains[eq::kBands + 1];
    for (int i = 0; i < eq::kBands; ++i) gains[i] = &c.band[i];
    gains[eq::kBands] = &c.preamp;
    for (float* g : gains) {
        if (!std::isfinite(*g) || std::fabs(*g) > 2 * kRange) return false;
        *g = std::clamp(*g, -kRange, kRange);
    }
    *out = c;
    return true;
}

void QueueControl::restart(uint64_t now_ms) {
    ppm = drift_ppm = 0;
    sure = 0;
    smooth_ms = -1;
    stalled = dropping = false;
    excess_ms = 0;
    forget_lows(now_ms);
    level_sum = clock_sum = 0;
    level_n = 0;
    window_at = now_ms;
    restarted_at = now_ms;
    if (calm_since == 0) calm_since = now_ms;
    jump(now_ms);
}

void QueueControl::jump(uint64_t now_ms) {
    fit = Fit{};
    fit_at = now_ms;
    stretched_ms = 0;
}

void QueueControl::landed(uint64_t now_ms) {
    forget_lows(now_ms);
    level_sum = clock_sum = 0;
    level_n = 0;
    window_at = now_ms;
    smooth_ms = -1;
    jump(now_ms);
}

void QueueControl::forget_lows(uint64_t now_ms) {
    for (double& low : low_ms) low = -1;
    quarter = 0;
    quarter_at = now_ms;
}

double QueueControl::stale_ms(double queue_ms, uint64_t now_ms) {
    double& slot = low_ms[quarter];
    if (slot < 0 || queue_ms < slot) slot = queue_ms;
    if (now_ms - quarter_at < kLowWindowMs / kLowQuarters) return 0;
    double low = slot;
    bool whole = true;
    for (double l : low_ms) {
        if (l < 0) whole = false;
        else low = std::min(low, l);
    }
    quarter = (quarter + 1) % kLowQuarters;
    low_ms[quarter] = -1;
    quarter_at = now_ms;
    return whole && low > target_ms + kSlackMs ? low - target_ms : 0;
}

void QueueControl::stall(uint64_t now_ms) {
    stalled = true;
    stalled_at = now_ms;
    stall_drops = 0;
    dropping = false;
    excess_ms = 0;
    jump(window_at);
}

// The queue as it would stand without our stretch falls by the device's drift (ms per second per
// thousand ppm); a least-squares slope over the seconds since the last jump measures it, with old
// seconds fading so that a clock that warms up is followed. Only a slope well beyond its own
// uncertainty counts, so that a device taking sound in chunks (its queue a saw-tooth) or a
// server whose timing reports come in steps never starts a stretch.
void QueueControl::follow_clock(double mean_ms, uint64_t now_ms, double span_s) {
    stretched_ms += ppm * 1e-6 * span_s * 1000;
    const double t = static_cast<double>(now_ms - fit_at) * 0.001;
    const double u = mean_ms - stretched_ms;
    fit.w = fit.w * kFade + 1;
    fit.t = fit.t * kFade + t;
    fit.u = fit.u * kFade + u;
    fit.tt = fit.tt * kFade + t * t;
    fit.tu = fit.tu * kFade + t * u;
    fit.uu = fit.uu * kFade + u * u;
    ++fit.n;
    if (fit.n >= kFitSeconds) {
        const double st = fit.tt - fit.t * fit.t / fit.w;
        const double su = fit.uu - fit.u * fit.u / fit.w;
        const double stu = fit.tu - fit.t * fit.u / fit.w;
        if (st > 0) {
            const double slope = stu / st; // ms per second
            const double residual = std::max(0.0, su - slope * stu) / std::max(1.0, fit.w - 2);
            const double uncertainty = std::sqrt(residual / st);
            const double drift = -slope * 1000;
            const bool clear = std::fabs(slope) > kSureSigmas * uncertainty && std::fabs(drift) >= kMinDriftPpm;
            // A young fit that is not clear yet (the first seconds after an underrun or a drop)
            // says nothing against the drift found before; only a long one lets it go.
            if (clear) sure = std::min(sure + 1, kSureSeconds);
            else if (fit.n >= kForgetSeconds) sure = std::max(sure - 1, 0);
            if (sure == kSureSeconds && clear) drift_ppm = std::clamp(drift, -kMaxDriftPpm, kMaxDriftPpm);
            if (sure == 0) drift_ppm = 0;
        }
    }
    // Once the drift is known, the queue is also led back to its target (what crept away while the
    // drift was being measured), slowly and by a bounded amount. Without a drift the queue stands
    // where the cushion put it: drops and underruns (which refill it) bound it on both sides.
    const double err = smooth_ms - target_ms;
    const double outside = err > kBandMs ? err - kBandMs : (err < -kBandMs ? err + kBandMs : 0.0);
    const double correction =
        drift_ppm == 0 ? 0.0 : std::clamp(-kGainPpmPerMs * outside, -kMaxCorrectionPpm, kMaxCorrectionPpm);
    const double goal = std::clamp(drift_ppm + correction, -kMaxPpm, kMaxPpm);
    const double step = kSlewPpmPerS * span_s;
    ppm = goal == 0 && std::fabs(ppm) <= step ? 0.0 : ppm + std::clamp(goal - ppm, -step, step);
}

bool QueueControl::admit(double queue_ms, double block_ms, uint64_t now_ms, bool* changed, bool more_waiting,
                         bool held) {
    *changed = false;
    if (window_at == 0) restart(now_ms);
    if (now_ms - calm_since >= calm_ms) {
        calm_since = now_ms;
        if (target_ms > kMinTargetMs) {
            target_ms = std::max(kMinTargetMs, target_ms - kShrinkMs);
            *changed = true;
        } else {
            calm_ms = std::max(kCalmMs, calm_ms / 2);
        }
    }
    if (queue_ms < 0) return true; // unknown: play
    if (held) {
        // Nothing is taken from the queue, so nothing in it has grown stale; the lows seen so
        // far no longer describe it.
        dropping = false;
        excess_ms = 0;
        forget_lows(now_ms);
        last_block_at = now_ms;
        return true;
    }
    // Stale sound is dropped, so that the delay returns at once instead of lasting for the rest
    // of the session: after our own stall what comes in beyond the target, else what the lowest
    // point of the last window shows beyond it.
    const uint64_t since_block = now_ms - last_block_at;
    last_block_at = now_ms;
    if (stalled) {
        // The backlog of a stall of our own arrives in bursts after it: what would queue beyond
        // the target is stale. A busy or slow machine reads the backlog slowly, so the bursts may
        // look like blocks at their own pace; they are over only once nothing waits behind the
        // block and a whole block's time has passed since the one before, or after a second.
        if (now_ms - stalled_at < kStallGraceMs) {
            if (queue_ms > target_ms + block_ms * 0.5) {
                ++stall_drops;
                return false;
            }
            if (stall_drops == 0 || more_waiting || since_block < block_ms) return true;
        }
        stalled = false;
        landed(now_ms);
    }
    if (!dropping) {
        excess_ms = stale_ms(queue_ms, now_ms);
        dropping = excess_ms > 0;
    }
    if (dropping) {
        if (excess_ms >= block_ms * 0.5) {
            excess_ms -= block_ms;
            return false;
        }
        dropping = false;
        excess_ms = 0;
        landed(now_ms);
    }
    if (now_ms - restarted_at < kSettleMs) {
        window_at = now_ms;
        jump(now_ms);
        return true;
    }
    level_sum += queue_ms + block_ms * 0.5;
    clock_sum += queue_ms + device_ms + block_ms * 0.5;
    ++level_n;
    const uint64_t span = now_ms - window_at;
    if (span >= 1000 && level_n > 0) {
        const double mean = level_sum / level_n;
        smooth_ms = smooth_ms < 0 ? mean : smooth_ms + kSmoothing * (mean - smooth_ms);
        follow_clock(clock_sum / level_n, now_ms, static_cast<double>(span) * 0.001);
        level_sum = clock_sum = 0;
        level_n = 0;
        window_at = now_ms;
    }
    return true;
}

bool QueueControl::underrun(uint64_t now_ms, bool grow) {
    dropping = false;
    excess_ms = 0;
    forget_lows(now_ms);
    if (!grow || (restarted_at != 0 && now_ms - restarted_at < kSettleMs)) return false;
    calm_since = now_ms;
    calm_ms = std::min(kMaxCalmMs, calm_ms * 2);
    jump(now_ms);
    smooth_ms = -1;
    if (target_ms >= kMaxTargetMs) return false;
    target_ms = std::min(kMaxTargetMs, target_ms + kGrowMs);
    return true;
}

namespace {

// Lanczos kernel (a = 4) tabulated at 512 fractional positions; each row sums to one.
constexpr int kPhases = 512;
constexpr int kTaps = 8;

const float (&sinc_table())[kPhases + 1][kTaps] {
    static float table[kPhases + 1][kTaps];
    static const bool filled = [] {
        const double pi = 3.14159265358979323846;
        for (int p = 0; p <= kPhases; ++p) {
            const double frac = static_cast<double>(p) / kPhases;
            double sum = 0;
            double w[kTaps];
            for (int k = 0; k < kTaps; ++k) {
                const double x = static_cast<double>(k - 3) - frac;
                w[k] = std::fabs(x) < 1e-12 ? 1.0
                                            : std::sin(pi * x) * std::sin(pi * x / 4) / (pi * pi * x * x / 4);
                sum += w[k];
            }
            for (int k = 0; k < kTaps; ++k) table[p][k] = static_cast<float>(w[k] / sum);
        }
        return true;
    }();
    (void)filled;
    return table;
}

} // namespace

void Stretcher::reserve(int frames) {
    sinc_table();
    const size_t need = static_cast<size_t>(frames + kHistory + 2) * 2;
    if (work_.size() < need) work_.resize(need);
    if (out_.size() < need) out_.resize(need);
}

int Stretcher::process(const float* in, int frames, double ratio) {
    if (frames <= 0) return 0;
    reserve(frames);
    float* w = work_.data();
    std::memcpy(w, hist_, sizeof hist_);
    std::memcpy(w + 2 * kHistory, in, static_cast<size_t>(frames) * 2 * sizeof(float));
    const int total = kHistory + frames;
    float* out = out_.data();
    int n = 0;
    if (ratio == 1.0) {
        // Back on the sample grid: the last fraction of a frame is let go (inaudible).
        pos_ = std::round(pos_);
        const int first = static_cast<int>(pos_);
        const int count = std::max(0, total - 4 - first);
        std::memcpy(out, w + 2 * first, static_cast<size_t>(count) * 2 * sizeof(float));
        n = count;
        pos_ += count;
    } else {
        const auto& table = sinc_table();
        const double step = 1.0 / ratio;
        while (pos_ + 4 < total) {
            const int base = static_cast<int>(pos_);
            const int phase = static_cast<int>((pos_ - base) * kPhases + 0.5);
            const float* k = table[phase];
            const float* x = w + 2 * (base - 3);
            float l = 0, r = 0;
            for (int t = 0; t < kTaps; ++t) {
                l += k[t] * x[2 * t];
                r += k[t] * x[2 * t + 1];
            }
            out[2 * n] = l;
            out[2 * n + 1] = r;
            ++n;
            pos_ += step;
        }
    }
    pos_ -= frames;
    std::memcpy(hist_, w + 2 * frames, sizeof hist_);
    return n;
}

uint64_t pass_count() {
    return g_passes.load();
}

void push_tap(const float* interleaved, int frames) {
    std::lock_guard<std::mutex> lock(g_tap_mtx);
    for (int i = 0; i < frames; ++i) {
        g_tap_l[g_tap_pos] = interleaved[2 * i];
        g_tap_r[g_tap_pos] = interleaved[2 * i + 1];
        g_tap_pos = (g_tap_pos + 1) & kTapMask;
    }
    g_tap_total += static_cast<uint64_t>(std::max(frames, 0));
    g_tap_serial += 1;
    g_tap_at_us = now_us();
}

} // namespace detail
} // namespace audio
