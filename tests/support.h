// Helpers shared by the unit tests: scratch files and whole-file reads.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace qo_test {

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

inline void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// A path in /tmp that does not exist yet and is removed afterwards.
class ScratchPath {
  public:
    ScratchPath()
    {
        char name[] = "/tmp/qo-test-XXXXXX";
        int fd = mkstemp(name);
        close(fd);
        unlink(name);
        path_ = name;
    }
    ~ScratchPath() { unlink(path_.c_str()); }
    ScratchPath(const ScratchPath &) = delete;
    ScratchPath &operator=(const ScratchPath &) = delete;

    const char *c_str() const { return path_.c_str(); }
    std::string contents() const { return read_file(path_); }

  private:
    std::string path_;
};

// A folder in /tmp of its own, removed afterwards with what it holds.
class ScratchFolder {
  public:
    ScratchFolder() : path_("/tmp/qo-test-XXXXXX") { mkdtemp(path_.data()); }
    ~ScratchFolder() { std::filesystem::remove_all(path_); }
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;

    std::string operator/(const char *name) const { return path_ + "/" + name; }
    size_t entries() const
    {
        const std::filesystem::directory_iterator listed(path_);
        return static_cast<size_t>(std::distance(listed, {}));
    }

  private:
    std::string path_;
};

// For tests that wait on processes and pipes: one that hangs is ended by
// SIGALRM after seconds instead of stalling the run.
template <unsigned seconds> class Bounded : public testing::Test {
  protected:
    void SetUp() override { alarm(seconds); }
    void TearDown() override { alarm(0); }
};

// The sanitizers write their own notes on standard error ("==pid==..."),
// such as each allocation AddressSanitizer refuses; everything else must
// match byte for byte.
inline std::string without_sanitizer_notes(const std::string &err)
{
    std::string kept;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        if (err.compare(start, 2, "==") != 0)
            kept.append(err, start, end - start);
        start = end;
    }
    return kept;
}

} // namespace qo_test
