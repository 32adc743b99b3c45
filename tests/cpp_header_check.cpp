// Compiled alone, never run: every template of qo.hpp instantiated with
// the arguments users give, so that the strictest warnings see them all.
#include <qo.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class colour : unsigned char { red };

int main(int argc, char **argv)
{
    const std::string name = "cart";
    const char array[] = "array";
    const std::size_t size = name.size();
    const long long big = 1;
    const std::intmax_t widest = 2;
    const short small = 3;
    qo::log(1, "%s %s %zu %lld %jd %hd %c %5.2f %Lf %p %% %m", name, array, size, big,
            widest, small, 'x', 1.5F, 2.5L, static_cast<const void *>(array));
    qo::log(0, "no argument");
    qo::log(2, "%.*s %-*d %u", static_cast<int>(size), name.data(), 4, 5, colour::red);
    std::string made = qo::format("%s=%d", "x", 1);
    made += qo::shell_quote(made) + qo::stresc(made, "$", '\\', '"');
    made += qo::substitute(made, "x", "y") + qo::status_text(0);
    for (const std::string &token : qo::split(made, ","))
        qo::setenv(token, made);
    qo::run_options options;
    options.input = made;
    options.capture_output = true;
    options.timeout = std::chrono::seconds(1);
    options.env = {"A=1", "B"};
    const qo::run_result ran = qo::run({"true", std::string_view(made)}, options);
    made += ran.output + ran.errors + ran.describe();
#if __cplusplus >= 202002L
    made +=
        qo::run({"true"}, {.input = "x", .timeout = std::chrono::seconds(1)}).output;
#endif
    if (ran.timed_out || !qo::run(std::vector<std::string>{"true"}).ok())
        return 1;
    if (argc > 1 && (qo_run(argv + 1, nullptr) != 0 || !qo::run(argv + 1).ok()))
        return 1;
    std::size_t lines = 0, fed = 0;
    options.on_output = [&](std::string_view line) { return line.size() > ++lines; };
    options.on_errors = [&lines](std::string_view) { lines++; };
    options.on_input = [&fed](char *buffer, std::size_t room) {
        fed += room;
        buffer[0] = 'x';
        return fed < 10 ? std::size_t{1} : 0;
    };
    options.stop_signal = SIGINT;
    options.grace = std::chrono::milliseconds(200);
    options.clear_env = true;
    if (qo::run({"true"}, options).stopped)
        return 1;
    options.on_input = [](char *, std::size_t) -> long { return -1; };
#if __cplusplus >= 202002L
    made += qo::run({"true"}, {.on_output = [&](std::string_view) { return true; },
                               .grace = std::chrono::seconds(2)})
                .errors;
#endif
    if (qo::pipeline({{"true"}, {"cat"}}, options).statuses.size() != 2)
        return 1;
    options.input_pipe = true;
    options.partial_lines = true;
    qo::job held = qo::start({"cat", std::string_view(made)}, options);
    qo::job other = qo::start(std::vector<std::string>{"true"});
    if (argc > 1)
        other = qo::start(argv + 1, {});
    qo::job piped = qo::pipeline_start({{"true"}, {"cat"}}, options);
    if (!held || held.pid() < 0 || held.fd() < 0 || piped.pid(1) < 0 ||
        held.write(made) || held.close_input() || held.signal(SIGHUP))
        return 1;
    while (!held.serve() && !held.serve(std::chrono::milliseconds(-1)))
        held.stop();
    const std::optional<qo::run_result> soon =
        other.wait(std::chrono::milliseconds(10));
    other = std::move(piped);
    made += held.wait().output + (soon ? soon->output : other.wait().errors);
    qo::text owned(qo_shell_quote("x"));
    qo::text taken = std::move(owned);
    char *mine = taken.release();
    qo_free(&mine);
    return 0;
}
