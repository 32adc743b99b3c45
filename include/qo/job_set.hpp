// Part of qo.hpp, installed with it: include <qo.hpp>, not this file,
// whose content may change in any release.
//
// Held jobs waited for together (qo::job_set, over qo_jobs_new()): which
// one ended, as it ends, from one thread.
#ifndef QO_JOB_SET_HPP
#define QO_JOB_SET_HPP

#include "run.hpp"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <deque>
#include <iterator>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

namespace qo {

// Jobs served together: wait() serves every one of them until one has
// ended, and hands it back with its result, in the order they end. The set
// owns the jobs added until it hands them back; its end frees those it
// still holds, as a qo::job's end does. A job that could not start (or
// holds none, or had ended before it was added) is handed back first, by
// the next wait(). Move-only; one thread at a time uses it. Where the
// kernel refuses the set its descriptor (EMFILE), each job added is handed
// back in turn, waited for to its end.
//
//     qo::job_set jobs;
//     for (const auto &command : commands)
//         jobs.add(qo::start({"sh", "-c", command}));
//     for (auto &[key, job, result] : jobs)
//         std::printf("%s: %s\n", commands[key].c_str(), result.describe().c_str());
class job_set {
  public:
    // What wait() hands back: the key add() gave the job, the job (ended,
    // the set's no more) and its result, as job::wait() gives it.
    struct ended {
        std::size_t key;
        qo::job job;
        run_result result;
    };

    job_set() : set_(qo_jobs_new()) {}

    // Adds the job, for wait() to hand back once it has ended. The key:
    // 0 for the first job added, then 1, 2...: an index into the caller's
    // own table of what each job is.
    std::size_t add(qo::job job)
    {
        const std::size_t key = next_key_++;
        qo_job *c = job.c();
        if (c && qo_jobs_add(set_.get(), c) == 0)
            running_.emplace(c, held{key, std::move(job)});
        else
            ready_.push_back(held{key, std::move(job)});
        return key;
    }

    // The next job to end, removed from the set; nothing when timeout has
    // passed first (errno EAGAIN; less than 0: no limit) or the set is
    // empty (errno ENOENT). What a callback of the job threw comes out
    // here, the job being dropped.
    std::optional<ended>
    wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(-1))
    {
        if (!ready_.empty()) {
            held first = std::move(ready_.front());
            ready_.pop_front();
            return hand(std::move(first));
        }
        if (running_.empty()) {
            errno = ENOENT;
            return std::nullopt;
        }
        qo_job *done = qo_jobs_wait(set_.get(), detail::wait_ms(timeout));
        if (!done)
            return std::nullopt;
        auto found = running_.extract(done);
        return hand(std::move(found.mapped()));
    }

    // The stop sequence (job::stop()) for every job in the set; each comes
    // back from wait() as it ends.
    void stop() noexcept
    {
        for (auto &[c, job] : running_)
            job.job.stop();
    }

    std::size_t size() const noexcept { return running_.size() + ready_.size(); }
    bool empty() const noexcept { return size() == 0; }

    // One descriptor for the whole set, readable when wait() has something
    // to do: for the caller's own poll() beside its other descriptors.
    int fd() const noexcept { return qo_jobs_fd(set_.get()); }

    // for (auto &[key, job, result] : set): each job as it ends, until
    // the set is empty; the loop may add more.
    class iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = ended;
        using difference_type = std::ptrdiff_t;
        using pointer = ended *;
        using reference = ended &;

        iterator() noexcept = default;
        explicit iterator(job_set *set) : set_(set) { ++*this; }
        ended &operator*() const noexcept { return *current_; }
        ended *operator->() const noexcept { return &*current_; }
        iterator &operator++()
        {
            current_ = set_->wait();
            if (!current_)
                set_ = nullptr;
            return *this;
        }
        bool operator==(const iterator &other) const noexcept
        {
            return set_ == other.set_;
        }
        bool operator!=(const iterator &other) const noexcept
        {
            return !(*this == other);
        }

      private:
        job_set *set_ = nullptr;
        mutable std::optional<ended> current_;
    };
    iterator begin() { return iterator(this); }
    iterator end() noexcept { return iterator(); }

  private:
    struct held {
        std::size_t key;
        qo::job job;
    };
    struct free_set {
        void operator()(qo_jobs *set) const noexcept { qo_jobs_free(set); }
    };

    static ended hand(held &&done)
    {
        run_result result = done.job.wait(); // at once: the job has ended
        return ended{done.key, std::move(done.job), std::move(result)};
    }

    std::size_t next_key_ = 0;
    std::unordered_map<qo_job *, held> running_;
    std::deque<held> ready_;
    // Freed first: the C set lets go of the jobs before they are freed.
    std::unique_ptr<qo_jobs, free_set> set_;
};

} // namespace qo

#endif // QO_JOB_SET_HPP
