// A small supervisor: each NAME=COMMAND runs (through sh -c) as a held
// job in one qo::job_set, optionally as another user (-u USER, which needs
// root) and under a memory limit (-m MIB of address space). Each line a
// command writes comes out prefixed with its name; each start and end is
// told with the time and the pid. A command that fails is started again
// after a back-off (-b MS at first, doubled each time up to a minute, and
// back to the first once a run has lasted a minute); one that succeeds is
// done. SIGTERM or Ctrl-C stops them all: SIGTERM to each, SIGKILL to what
// is left after the grace (-g MS). The commands run in sessions of their
// own, so that Ctrl-C at the terminal reaches the supervisor alone.
// Build it with the CMakeLists.txt beside it, against an installed qo:
//     ./supervise -b 1000 web='python3 -m http.server' tick='date; sleep 5'
#include <qo.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct service {
    std::string name, command;
    std::chrono::milliseconds backoff;
    Clock::time_point started{};
    std::optional<Clock::time_point> restart{}; // when it starts again
};

static volatile std::sig_atomic_t asked_to_stop = 0;

static void say(const std::string &name, const std::string &what)
{
    char stamp[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
    std::printf("%s %s: %s\n", stamp, name.c_str(), what.c_str());
    std::fflush(stdout);
}

static int usage()
{
    std::fprintf(stderr, "usage: supervise [-u USER] [-m MIB] [-g MS] [-b MS] "
                         "NAME=COMMAND...\n");
    return 2;
}

int main(int argc, char **argv)
{
    qo::run_options options{.grace = 5s, .new_session = true};
    std::chrono::milliseconds backoff = 1s;
    for (int opt; (opt = getopt(argc, argv, "u:m:g:b:")) != -1;) {
        const long number = optarg ? std::atol(optarg) : 0;
        if (opt == 'u') {
            const passwd *user = getpwnam(optarg);
            if (!user)
                return usage();
            options.user = qo::run_user{user->pw_uid, user->pw_gid};
        } else if (opt == 'm') {
            const auto bytes = static_cast<rlim_t>(number) << 20;
            options.limits = {{RLIMIT_AS, bytes, bytes}};
        } else if (opt == 'g' || opt == 'b') {
            (opt == 'g' ? options.grace : backoff) = std::chrono::milliseconds(number);
        } else {
            return usage();
        }
    }
    std::vector<service> services;
    for (int i = optind; i < argc; ++i) {
        const std::string given = argv[i];
        const std::size_t equals = given.find('=');
        if (equals == 0 || equals == std::string::npos)
            return usage();
        services.push_back(
            {given.substr(0, equals), given.substr(equals + 1), backoff});
    }
    if (services.empty())
        return usage();

    struct sigaction stop = {};
    stop.sa_handler = [](int) { asked_to_stop = 1; };
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    qo::job_set jobs;
    std::map<std::size_t, service *> running; // by the set's key
    const auto start = [&](service &s) {
        qo::run_options own = options;
        own.on_output = own.on_errors = [&s](const qo::line &line) {
            std::printf("%s: %.*s\n", s.name.c_str(), int(line.text.size()),
                        line.text.data());
        };
        qo::job job = qo::start({"sh", "-c", s.command}, std::move(own));
        if (job)
            say(s.name, "started, pid " + std::to_string(job.pid()));
        s.started = Clock::now();
        s.restart.reset();
        running[jobs.add(std::move(job))] = &s;
    };
    for (service &s : services)
        start(s);

    bool stopping = false;
    const auto waiting = [&] {
        return std::any_of(services.begin(), services.end(),
                           [](const service &s) { return s.restart.has_value(); });
    };
    while (!jobs.empty() || (!stopping && waiting())) {
        if (asked_to_stop && !stopping) {
            stopping = true;
            say("supervise", "stopping " + std::to_string(jobs.size()) + " commands");
            jobs.stop();
        }
        for (service &s : services)
            if (!stopping && s.restart && *s.restart <= Clock::now())
                start(s);
        std::optional<qo::job_set::ended> ended = jobs.wait(100ms);
        if (!ended) {
            if (jobs.empty())
                poll(nullptr, 0, 100); // only back-offs to wait for
            continue;
        }
        service &s = *running[ended->key];
        running.erase(ended->key);
        std::string told = ended->result.describe();
        if (ended->job)
            told += ", pid " + std::to_string(ended->job.pid());
        if (!ended->result.ok() && !stopping) {
            if (Clock::now() - s.started >= 1min)
                s.backoff = backoff;
            s.restart = Clock::now() + s.backoff;
            told += "; again in " + std::to_string(s.backoff.count()) + " ms";
            s.backoff = std::min<std::chrono::milliseconds>(s.backoff * 2, 1min);
        }
        say(s.name, told);
    }
    return 0;
}
