// Job sets: many held jobs served from one call, which hands back each as
// it ends. One epoll set holds each running job's descriptor with the job
// as its data, so a call serves only the jobs that are ready; a job that
// ends, whoever served it, joins the set's queue of ended jobs, which the
// calls empty in order. An eventfd in the same epoll set keeps the set's
// descriptor readable while that queue holds a job.
#include "qo.h"
#include "run/qo_job_internal.h"
#include "run/qo_run_internal.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

using qo_job_member::membership;
using qo_run::allocate;
using qo_run::close_fd;
using qo_run::now_ms;
using qo_run::Site;

struct qo_jobs {
    int epoll = -1;
    int ready = -1;          // readable while the queue holds a job
    bool signalled = false;  // ready holds a count
    bool serving = false;    // inside qo_jobs_wait(), which settles ready itself
    qo_job **jobs = nullptr; // every job in the set, running or ended
    size_t count = 0, room = 0;
    qo_job *first = nullptr, *last = nullptr; // the queue of ended jobs
};

namespace {

constexpr Site jobs_site{__LINE__, __FILE__, "qo_jobs_add"};

void list(qo_jobs &set, qo_job *job) noexcept
{
    if (set.count == set.room) {
        const size_t room = set.room ? set.room * 2 : 16;
        // An array of pointers, which the size of a pointer is meant for.
        constexpr size_t each = sizeof(qo_job *); // NOLINT(bugprone-sizeof-expression)
        auto **jobs = static_cast<qo_job **>(allocate(room * each, jobs_site));
        if (set.count)
            memcpy(jobs, set.jobs, set.count * each);
        free(set.jobs);
        set.jobs = jobs;
        set.room = room;
    }
    membership(job).index = set.count;
    set.jobs[set.count++] = job;
}

void unlist(qo_jobs &set, qo_job *job) noexcept
{
    const size_t i = membership(job).index;
    set.jobs[i] = set.jobs[--set.count];
    membership(set.jobs[i]).index = i;
    membership(job) = {};
}

// ready says whether the queue holds a job: a write as it fills, a read
// as it empties, so a caller polling the set's descriptor is woken.
void settle(qo_jobs &set) noexcept
{
    const bool want = set.first != nullptr;
    uint64_t count = 1;
    if (want && !set.signalled)
        (void)!write(set.ready, &count, sizeof count);
    else if (!want && set.signalled)
        (void)!read(set.ready, &count, sizeof count);
    set.signalled = want;
}

void enqueue(qo_jobs &set, qo_job *job) noexcept
{
    membership(job).queued = true;
    membership(job).next = nullptr;
    if (set.last)
        membership(set.last).next = job;
    else
        set.first = job;
    set.last = job;
}

void dequeue(qo_jobs &set, qo_job *job) noexcept
{
    qo_job *before = nullptr;
    for (qo_job *j = set.first; j != job; j = membership(j).next)
        before = j;
    qo_job *after = membership(job).next;
    if (before)
        membership(before).next = after;
    else
        set.first = after;
    if (set.last == job)
        set.last = before;
}

// The job ended: queued. An ended job's descriptor is quiet for good (the
// job watches nothing more), so it stays in the epoll set until the job
// closes it, which saves a call per job. One freed while it runs leaves the
// epoll set first: a forked child may still hold its descriptor open.
void told(void *s, qo_job *job, bool freed) noexcept
{
    qo_jobs &set = *static_cast<qo_jobs *>(s);
    if (freed && !membership(job).queued)
        epoll_ctl(set.epoll, EPOLL_CTL_DEL, qo_job_fd(job), nullptr);
    if (freed && membership(job).queued)
        dequeue(set, job);
    if (freed)
        unlist(set, job);
    else
        enqueue(set, job);
    if (!set.serving)
        settle(set);
}

qo_job *hand_back(qo_jobs &set) noexcept
{
    qo_job *job = set.first;
    if (job) {
        dequeue(set, job);
        unlist(set, job);
    }
    return job;
}

// What is left of the caller's timeout, for epoll_wait(); -1: no limit.
int left(int64_t limit) noexcept
{
    if (limit < 0)
        return -1;
    const int64_t ms = limit - now_ms();
    return ms <= 0 ? 0 : ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// One wait on the set, each job found ready served once: how many were
// found (the queue's signal included), or -1 with errno. A signal that
// cut the wait finds nothing.
int serve_ready(qo_jobs &set, int wait_ms) noexcept
{
    epoll_event ready[64];
    const int n = epoll_wait(set.epoll, ready, 64, wait_ms);
    if (n < 0)
        return errno == EINTR ? 0 : -1;
    for (int i = 0; i < n; ++i)
        if (ready[i].data.ptr)
            qo_job_serve(static_cast<qo_job *>(ready[i].data.ptr), 0);
    return n;
}

} // namespace

extern "C" qo_jobs *qo_jobs_new(void) noexcept
{
    const Site site{__LINE__, __FILE__, "qo_jobs_new"};
    auto *set = static_cast<qo_jobs *>(allocate(sizeof(qo_jobs), site));
    *set = qo_jobs{};
    set->epoll = epoll_create1(EPOLL_CLOEXEC);
    set->ready = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.ptr = nullptr;
    if (set->epoll < 0 || set->ready < 0 ||
        epoll_ctl(set->epoll, EPOLL_CTL_ADD, set->ready, &e) != 0) {
        const int error = errno;
        qo_jobs_free(set);
        errno = error;
        return nullptr;
    }
    return set;
}

extern "C" int qo_jobs_add(qo_jobs *set, qo_job *job) noexcept
{
    if (!set || !job) {
        errno = EINVAL;
        return -1;
    }
    if (membership(job).set) {
        errno = EEXIST;
        return -1;
    }
    if (!qo_job_member::ended(job)) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.ptr = job;
        if (epoll_ctl(set->epoll, EPOLL_CTL_ADD, qo_job_fd(job), &e) != 0)
            return -1;
    }
    list(*set, job);
    membership(job).set = set;
    membership(job).tell = told;
    if (qo_job_member::ended(job)) {
        enqueue(*set, job);
        settle(*set);
    }
    return 0;
}

extern "C" int qo_jobs_fd(const qo_jobs *set) noexcept
{
    return set ? set->epoll : -1;
}

extern "C" qo_job *qo_jobs_wait(qo_jobs *set, int timeout_ms) noexcept
{
    if (!set) {
        errno = EINVAL;
        return nullptr;
    }
    const int64_t limit = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    set->serving = true;
    int error = EAGAIN;
    while (!set->first) {
        if (set->count == 0) {
            error = ENOENT;
            break;
        }
        const int found = serve_ready(*set, left(limit));
        if (found < 0)
            error = errno;
        if (found < 0 || (found == 0 && left(limit) == 0))
            break;
    }
    set->serving = false;
    qo_job *job = hand_back(*set);
    settle(*set);
    if (!job)
        errno = error;
    return job;
}

extern "C" void qo_jobs_free(qo_jobs *set) noexcept
{
    if (!set)
        return;
    for (size_t i = 0; i < set->count; ++i)
        membership(set->jobs[i]) = {};
    free(set->jobs);
    close_fd(set->epoll);
    close_fd(set->ready);
    free(set);
}
