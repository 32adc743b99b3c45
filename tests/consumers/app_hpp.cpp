// A C++17 consumer of qo.hpp: the header-only C++ face compiles against the
// installed headers (or the source tree's) and links the same libqo as C.
#include <qo.hpp>

#include <cstdio>
#include <string>

int main()
{
    // A held job, which takes every header qo.hpp is made of.
    qo::run_options options;
    options.capture_output = true;
    qo::job said = qo::start({"printf", "%s", "it's"}, options);
    const std::string line =
        qo::format("qo %s: %s", qo_version(), qo::shell_quote(said.wait().output));
    std::puts(line.c_str());
    return line == "qo " QO_VERSION ": 'it'\\''s'" ? 0 : 1;
}
