// A C++17 consumer of qo.hpp: the header-only C++ face compiles against the
// installed header (or the source tree's) and links the same libqo as C.
#include <qo.hpp>

#include <cstdio>
#include <string>

int main()
{
    const std::string line =
        qo::format("qo %s: %s", qo_version(), qo::shell_quote("it's"));
    std::puts(line.c_str());
    return line == "qo " QO_VERSION ": 'it'\\''s'" ? 0 : 1;
}
