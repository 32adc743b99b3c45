// The disks as a table: df -P in the C locale, whose lines have six
// fields, the last (where it is mounted) possibly with spaces in it; cut
// with qo::words(line, 5), as Python's line.split(None, 5), it stays
// whole. Sizes come in KiB and are shown in the largest unit that keeps
// them above 1. Build it with the CMakeLists.txt beside it, against an
// installed qo, and run it as ./diskreport.
#include <qo.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

static std::string size(std::string_view kib)
{
    double value = std::strtod(std::string(kib).c_str(), nullptr);
    const char *unit = "KMGTP";
    for (; value >= 1024 && unit[1] != '\0'; ++unit)
        value /= 1024;
    return qo::format("%.1f%c", value, *unit);
}

int main()
{
    const qo::run_result df =
        qo::run({"df", "-P", "-k"}, {.capture_output = true, .env = {"LC_ALL=C"}});
    if (!df.ok()) {
        std::fprintf(stderr, "diskreport: df %s\n", df.describe().c_str());
        return 1;
    }
    std::printf("%-20s %8s %8s %8s %5s\n", "Mounted on", "Size", "Used", "Free", "Use");
    for (const std::string_view line : qo::lines(df.output)) {
        const auto fields = qo::words(line, 5);
        if (fields.size() < 6 || fields[0] == "Filesystem")
            continue;
        std::printf("%-20s %8s %8s %8s %5s\n", std::string(fields[5]).c_str(),
                    size(fields[1]).c_str(), size(fields[2]).c_str(),
                    size(fields[3]).c_str(), std::string(fields[4]).c_str());
    }
    return 0;
}
