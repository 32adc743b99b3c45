// A long command shown as it goes, in C++: dd reports how far it got about
// once a second (status=progress), each report led by \r. With
// partial_lines and a callback taking qo::line, each call holds one report
// whole, without its \r, as soon as dd has written it: drawing the bar is
// reading two numbers. On a terminal each bar is drawn over the last;
// elsewhere each is a line of its own. Ctrl-C ends dd, and the program
// says so. Build it with the CMakeLists.txt beside it, against an
// installed qo, and run it as ./progress_cpp [MIB]: MIB mebibytes of zeros.
#include <qo.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

int main(int argc, char **argv)
{
    const unsigned long mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
    const bool terminal = isatty(STDOUT_FILENO);
    std::string last; // the report drawn last: its end draws nothing new
    const auto draw = [&](const qo::line &report) {
        const auto words = qo::words(report.text);
        if (words.size() < 4 || words[1] != "bytes" || report.text == last)
            return;
        last = report.text;
        const double done = std::strtod(last.c_str(), nullptr) / double(mib << 20);
        const auto filled = static_cast<std::size_t>(done * 30);
        const std::string bar =
            std::string(filled, '#') + std::string(30 - filled, '-');
        std::printf("%s[%s] %3.0f%%  %s%s", terminal ? "\r" : "", bar.c_str(),
                    done * 100,
                    last.substr(last.rfind(", ") + 2).c_str(), // the rate
                    terminal ? "" : "\n");
        std::fflush(stdout);
    };
    const std::string count = "count=" + std::to_string(mib);
    const qo::run_result dd = qo::run(
        {"dd", "if=/dev/zero", "of=/dev/null", "bs=1M", count, "status=progress"},
        {.env = {"LC_ALL=C"}, .on_errors = draw, .partial_lines = true});
    std::printf("%sdd %s\n", terminal && !last.empty() ? "\n" : "",
                dd.interrupted() ? "interrupted" : dd.describe().c_str());
    return dd.ok() ? 0 : 1;
}
