// Helpers shared by the unit tests: scratch files and whole-file reads.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
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

} // namespace qo_test
