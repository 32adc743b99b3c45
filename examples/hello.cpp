// qo from C++: split a list, run a command with each entry as one of its
// arguments, capture what it prints and log the outcome. No shell runs it,
// so nothing needs quoting: "$three" reaches printf as it is. Strings come
// back as std::string, so there is nothing to release; the run's log entry
// and the one below name this file and line without a macro. Build it with
// the CMakeLists.txt beside it, against an installed qo (find_package(qo)).
#include <qo.hpp>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    qo_log_open(argc > 1 ? argv[1] : "hello.log", 5);

    std::vector<std::string> command = {"printf", "%s\\n"};
    for (const std::string &item : qo::split("one,\"two\",$three", ","))
        command.push_back(item);

    qo::run_options options; // C++20: {.capture_output = true, .timeout = 5s}
    options.capture_output = true;
    options.timeout = std::chrono::seconds(5);
    const qo::run_result ran = qo::run(command, options);
    std::fputs(ran.output.c_str(), stdout);
    qo::log(1, "printed %zu entries: %s", command.size() - 2, ran.describe());
    qo_log_close();
    return ran.ok() ? 0 : 1;
}
