#include "qo.h"
#include "support.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using qo_test::ScratchPath;

constexpr int writers = 8, entries = 5000;
const std::string payload(120, 'p'); // long enough for halves to interleave

void write_entries(int thread)
{
    for (int i = 0; i < entries; i++)
        qo_log_int(1, i, "f", "r", "t%d e%d %s", thread, i, payload.c_str());
}

// Checks every line is one whole entry; returns the distinct (thread, entry)
// pairs seen.
std::set<std::pair<int, int>> whole_entries(const std::string &text, size_t &lines)
{
    std::set<std::pair<int, int>> seen;
    std::istringstream in(text);
    lines = 0;
    for (std::string line; std::getline(in, line); lines++) {
        int t = -1, e = -1, line_no = -1;
        char rest[256] = {};
        if (sscanf(line.c_str(), "DBG1: f->r#%d: t%d e%d %200s", &line_no, &t, &e,
                   rest) != 4 ||
            line_no != e || rest != payload) {
            ADD_FAILURE() << "broken line: " << line;
            break;
        }
        seen.emplace(t, e);
    }
    return seen;
}

// Runs the writers while another thread calls meddle() until they are done.
template <typename Meddle> void write_while(Meddle meddle)
{
    std::atomic<bool> done{false};
    std::thread other([&] {
        while (!done)
            meddle();
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < writers; t++)
        threads.emplace_back(write_entries, t);
    for (auto &t : threads)
        t.join();
    done = true;
    other.join();
}

TEST(LogThreads, EntriesNeverInterleaveWhileTheLevelChanges)
{
    ScratchPath log;
    qo_log_open(log.c_str(), 1);
    int level = 1;
    write_while([&] { qo_log_set_level(level = level % 9 + 1); });
    qo_log_close();

    size_t lines = 0;
    EXPECT_EQ(whole_entries(log.contents(), lines).size(), size_t{writers * entries});
    EXPECT_EQ(lines, size_t{writers * entries});
}

TEST(LogThreads, OpeningAndClosingWhileOthersWriteKeepsEntriesWhole)
{
    ScratchPath log;
    write_while([&] {
        qo_log_open(log.c_str(), 1);
        std::this_thread::yield();
        qo_log_close();
    });

    size_t lines = 0;
    const auto seen = whole_entries(log.contents(), lines);
    EXPECT_EQ(seen.size(), lines); // no entry written twice
    EXPECT_LE(lines, size_t{writers * entries});
}

// The time is taken under the lock: down the file it never goes back,
// whichever thread wrote the entry, and each names its own thread.
TEST(LogThreads, StampedTimesIncreaseDownTheFileAndNameTheirThread)
{
    ScratchPath log;
    qo_log_stamp(QO_LOG_UPTIME | QO_LOG_PID | QO_LOG_TID);
    qo_log_open(log.c_str(), 1);
    std::vector<std::thread> threads;
    std::set<long> tids;
    std::mutex tids_lock;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            const long tid = syscall(SYS_gettid);
            {
                std::lock_guard<std::mutex> hold(tids_lock);
                tids.insert(tid);
            }
            for (int i = 0; i < 2000; i++)
                qo_log_int(1, i, "f", "r", "%ld", tid);
        });
    for (auto &t : threads)
        t.join();
    qo_log_close();
    qo_log_stamp(0);

    std::istringstream in(log.contents());
    double last = 0;
    size_t lines = 0;
    for (std::string line; std::getline(in, line); lines++) {
        double uptime = -1;
        long pid = -1, tid = -1, logged = -2;
        ASSERT_EQ(sscanf(line.c_str(), "%lf [%ld/%ld] DBG1: f->r#%*d: %ld", &uptime,
                         &pid, &tid, &logged),
                  4)
            << line;
        ASSERT_GE(uptime, last) << line;
        ASSERT_EQ(pid, getpid());
        ASSERT_EQ(tid, logged);
        ASSERT_TRUE(tids.count(tid)) << line;
        last = uptime;
    }
    EXPECT_EQ(lines, 8000U);
}

} // namespace
