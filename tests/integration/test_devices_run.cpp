// "Lumafon --devices": the outputs of the running sound server, the followed one marked.
#include "support/engine_checks.h"
#include "support/process.h"
#include "support/sound_server.h"

#include <gtest/gtest.h>

using namespace testsup;

namespace {

class DevicesRun : public ::testing::Test {
  protected:
    void SetUp() override { config_ = make_temp_dir("lumafon-config"); }
    void TearDown() override {
        host_.quit(5000);
        server_.stop();
        remove_tree(config_);
    }

    // Runs the program's device listing with its own configuration directory.
    Result list_devices() {
        return run({"env", "XDG_CONFIG_HOME=" + config_, LUMAFON_BIN, "--devices"}, 20000);
    }

    static std::string line(const char* marker, const std::string& name, const std::string& label) {
        std::string l = std::string(marker) + " " + name;
        l.resize(2 + 60, ' ');
        return l + " " + label + "\n";
    }

    SoundServer server_;
    EngineHost host_;
    std::string config_;
};

} // namespace

TEST_F(DevicesRun, ListsTheOutputsWithTheFollowedOneMarked) {
    ASSERT_TRUE(server_.start()) << server_.error();
    ASSERT_EQ(pactl({"set-default-sink", "hw_b"}).status, 0);
    const Result r = list_devices();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, line(" ", "hw_a", "Fake HW A") + line("*", "hw_b", "Fake HW B"));
    const std::string log = read_file(config_ + "/Lumafon/Lumafon-devices.log");
    EXPECT_NE(log.find("INFO  Lumafon 1.0.3 (Build 1124, "), std::string::npos) << log;
    // The listing took nothing over.
    EXPECT_EQ(default_sink(), "hw_b");
    EXPECT_EQ(sink_index("lumafon"), 0xFFFFFFFFu);
}

TEST_F(DevicesRun, WorksBesideARunningCopy) {
    ASSERT_TRUE(server_.start()) << server_.error();
    const std::string host_dir = config_ + "/host";
    ASSERT_EQ(run({"mkdir", "-p", host_dir}).status, 0);
    ASSERT_TRUE(host_.start(host_dir));
    ASSERT_TRUE(host_.wait_state([](const EngineHost::State& s) { return s.state == 1 && s.active; }));
    const Result r = list_devices();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, line("*", "hw_a", "Fake HW A") + line(" ", "hw_b", "Fake HW B"));
    EXPECT_EQ(default_sink(), "lumafon"); // the running copy keeps routing
}

TEST_F(DevicesRun, NoSoundServer) {
    const long long start = now_ms();
    const Result r = run({"env", "XDG_CONFIG_HOME=" + config_,
                          "PULSE_SERVER=unix:" + config_ + "/no-such-socket", LUMAFON_BIN, "--devices"},
                         20000);
    const long long took = now_ms() - start;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Kein Tonserver erreichbar.\n");
    EXPECT_LT(took, 5000);
    EXPECT_GE(took, 3900); // it waits its four seconds for a server that may still be starting
}
