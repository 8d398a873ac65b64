// Scratch space for tests that touch the file system or the environment: every change is undone
// when the owning object goes out of scope, so tests stay independent of each other and of the
// machine they run on.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace test_support {

// Sets an environment variable, or unsets it when `value` is null, until destruction.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// A private directory (mkdtemp), removed with all its contents at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Changes the working directory until destruction.
class ScopedCwd {
  public:
    explicit ScopedCwd(const std::string& dir);
    ~ScopedCwd();
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

  private:
    std::string old_;
};

// The whole file, or nullopt when it cannot be read.
std::optional<std::string> read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& data);
bool exists(const std::string& path);
// The contents of every file of a fuzz target's seed corpus (tests/fuzz/corpus/<name>).
std::vector<std::string> fuzz_corpus(const std::string& name);
bool is_dir(const std::string& path);

} // namespace test_support
