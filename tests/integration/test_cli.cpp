// The program as a process: what the command-line modes print and which status they return.
#include "support/process.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

const std::string kVersionLine = "Lumafon 1.0.3 (Build 1124)\n";

const std::string kHelp = kVersionLine +
                          "\n"
                          "  Lumafon                 Fenster oeffnen\n"
                          "  Lumafon --compact       in der Kompaktansicht oeffnen\n"
                          "  Lumafon --devices       Ausgabegeraete auflisten\n"
                          "  Lumafon --selftest      Filter und Spektrum nachrechnen\n"
                          "  Lumafon --version       Fassung ausgeben\n"
                          "\n"
                          "  --device <kennung>          fuer diesen Lauf auf dieses Geraet spielen\n"
                          "  --no-takeover               Standardgeraet und fremde Tonstroeme NICHT\n"
                          "                              anfassen (Testlaeufe)\n"
                          "  --off                       mit ausgeschaltetem Equalizer starten\n"
                          "\n"
                          "  Startzustand fuer Aufnahmen (Store-Bilder; wird wie eine Einstellung gemerkt):\n"
                          "  --size <B>x<H>              Fenstergroesse\n"
                          "  --theme dark|light          Design\n"
                          "  --preset <name>             Voreinstellung, z. B. rock, bass, standard\n"
                          "  --collapsed                 Regler eingeklappt\n"
                          "  --expanded                  Regler offen\n"
                          "  --header / --no-header      Kopfleiste offen / eingeklappt\n"
                          "  --settings                  mit geoeffneten Einstellungen (samt \"Ueber\")\n";

testsup::Result lumafon(std::vector<std::string> args) {
    args.insert(args.begin(), LUMAFON_BIN);
    return testsup::run(args);
}

int count_lines(const std::string& s) {
    int n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

} // namespace

TEST(CommandLine, VersionAndHelp) {
    auto r = lumafon({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersionLine);

    for (const char* sw : {"--help", "-h"}) {
        r = lumafon({sw});
        EXPECT_EQ(r.status, 0) << sw;
        EXPECT_EQ(r.out, kHelp) << sw;
    }
    EXPECT_EQ(count_lines(kHelp), 21);

    // The first matching mode wins, wherever the switch stands.
    r = lumafon({"--help", "--version"});
    EXPECT_EQ(r.out, kVersionLine);
    r = lumafon({"--selftest", "-h"});
    EXPECT_EQ(r.out, kHelp);
    r = lumafon({"--bogus", "--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersionLine);
}

TEST(CommandLine, UnknownSwitch) {
    auto r = lumafon({"--compact", "--frobnicate", "--also-bad"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Unbekannter Schalter: --frobnicate\n\n" + kHelp);

    // Values and single-dash words are never complained about, only double-dash words.
    r = lumafon({"--theme", "--loud", "-x"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.substr(0, 30), "Unbekannter Schalter: --loud\n\n");

    // The self-test skips the check of unknown switches.
    r = lumafon({"--nonsense", "--selftest"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Alles in Ordnung."), std::string::npos);
}

TEST(CommandLine, SelfTestPassesEveryCheck) {
    const auto r = lumafon({"--selftest"});
    EXPECT_EQ(r.status, 0);
    const char* expected_lines[] = {
        "Filter  Band 1k    +6.0 dB bei   1000 Hz: gemessen  +6.00 dB, Kurve  +6.00 dB  OK",
        "Filter  Band 31   +12.0 dB bei     31 Hz: gemessen +12.00 dB, Kurve +12.00 dB  OK",
        "Filter  Band 16k   -9.0 dB bei  16000 Hz: gemessen  -9.00 dB, Kurve  -9.00 dB  OK",
        "Filter  Band 250  -12.0 dB bei    250 Hz: gemessen -12.00 dB, Kurve -12.00 dB  OK",
        "Filter  Band 1k    +6.0 dB bei   1414 Hz: gemessen  +3.00 dB, Kurve  +3.00 dB  OK",
        "Vorverstaerker -6 dB: gemessen  -6.00 dB  OK",
        "Begrenzer: 3.0 -> 1.000, 0.5 unveraendert  OK",
    };
    std::istringstream in(r.out);
    std::string line;
    for (const char* want : expected_lines) {
        ASSERT_TRUE(std::getline(in, line));
        EXPECT_EQ(line, want);
    }
    EXPECT_EQ(r.out.find("FEHLER"), std::string::npos) << r.out;
    const std::string tail = "\nAlles in Ordnung.\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
}
