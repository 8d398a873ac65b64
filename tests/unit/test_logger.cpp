// tsan
#include "core/logger.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using test_support::exists;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path).value_or(""));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A line "HH:MM:SS " + rest, with a valid local time of day; gives the rest.
bool stamped(const std::string& line, std::string& rest) {
    if (line.size() < 9 || line[2] != ':' || line[5] != ':' || line[8] != ' ') return false;
    for (int i : {0, 1, 3, 4, 6, 7})
        if (!std::isdigit(static_cast<unsigned char>(line[i]))) return false;
    if (std::stoi(line.substr(0, 2)) > 23 || line[3] > '5' || line[6] > '5') return false;
    rest = line.substr(9);
    return true;
}

// Defined first: a log opened by an earlier test of this process would give it a path.
TEST(Logger, NoPathBeforeInit) {
    EXPECT_EQ(logger::file_path(), "");
}

TEST(Logger, LinesOfEachLevel) {
    TempDir dir;
    ASSERT_TRUE(write_file(dir / "run.log", "the previous run\n"));
    logger::init(dir.path(), "run");
    EXPECT_EQ(logger::file_path(), dir / "run.log");
    logger::info("started");
    logger::warn("odd: 50%s %d");
    logger::error("failed");
    logger::info("two\nlines");
    const auto lines = lines_of(dir / "run.log"); // read while open: every line is flushed
    logger::shutdown();

    ASSERT_EQ(lines.size(), 5u) << "the file starts empty on every run";
    const char* const expected[] = {"INFO  started", "WARN  odd: 50%s %d", "ERROR failed", "INFO  two"};
    for (int i = 0; i < 4; ++i) {
        std::string rest;
        ASSERT_TRUE(stamped(lines[i], rest)) << lines[i];
        EXPECT_EQ(rest, expected[i]);
    }
    EXPECT_EQ(lines[4], "lines") << "a message is written verbatim";
}

TEST(Logger, SecondInitKeepsTheFirstFile) {
    TempDir a, b;
    logger::init(a.path(), "first");
    logger::init(b.path(), "second");
    EXPECT_EQ(logger::file_path(), a / "first.log");
    logger::warn("where");
    logger::shutdown();
    logger::info("after shutdown");
    EXPECT_EQ(logger::file_path(), a / "first.log") << "the path outlives the file";
    EXPECT_FALSE(exists(b / "second.log"));
    const auto lines = lines_of(a / "first.log");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("WARN  where"), std::string::npos);
}

TEST(Logger, UnwritablePlaceIsSilent) {
    TempDir dir;
    ASSERT_TRUE(write_file(dir / "file", "x"));
    // Even root cannot create a file below a regular file or in a missing directory.
    for (const std::string& bad : {dir / "file", dir / "missing/dir"}) {
        logger::init(bad, "Lumafon");
        EXPECT_EQ(logger::file_path(), bad + "/Lumafon.log");
        logger::info("nowhere");
        logger::error("nowhere");
        logger::shutdown();
    }
    EXPECT_EQ(read_file(dir / "file"), "x");
    EXPECT_FALSE(exists(dir / "missing"));

    logger::init(dir.path(), "later");
    logger::info("works again");
    logger::shutdown();
    EXPECT_EQ(lines_of(dir / "later.log").size(), 1u);
}

TEST(Logger, ThreadsNeverShareALine) {
    TempDir dir;
    logger::init(dir.path(), "threads");
    constexpr int kThreads = 6, kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            const std::string pad(100 + 37 * t, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                std::string msg = "t";  // appended: GCC 12 -Wrestrict false positive on "t" + string
                msg += std::to_string(t) + " " + std::to_string(i) + " " + pad;
                if (i % 3 == 0)
                    logger::info(msg);
                else if (i % 3 == 1)
                    logger::warn(msg);
                else
                    logger::error(msg);
            }
        });
    for (std::thread& t : threads) t.join();
    logger::shutdown();

    const auto lines = lines_of(dir / "threads.log");
    ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
    int next[kThreads] = {};
    for (const std::string& line : lines) {
        // "LEVEL t<thread> <index> <padding>"
        std::string rest;
        ASSERT_TRUE(stamped(line, rest)) << line;
        const std::string level = rest.substr(0, 6);
        ASSERT_TRUE(level == "INFO  " || level == "WARN  " || level == "ERROR ") << line;
        std::istringstream fields(rest.substr(6));
        char t_mark = 0;
        int t = -1, index = -1;
        std::string pad, more;
        fields >> t_mark >> t >> index >> pad;
        ASSERT_TRUE(t_mark == 't' && t >= 0 && t < kThreads && !(fields >> more)) << line;
        EXPECT_EQ(index, next[t]++) << "each thread's lines keep their order";
        EXPECT_EQ(pad, std::string(100 + 37 * t, static_cast<char>('a' + t))) << line;
    }
}

} // namespace
