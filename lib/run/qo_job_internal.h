// What the job sets (qo_jobs.cpp) need of a held job beyond the public
// calls: whether it has ended, and the set it belongs to, which the job
// tells when it ends or is freed. Internal to the library.
#pragma once

#include "qo.h"

#include <cstddef>

namespace qo_job_member {

// The set a job is in. tell() is called with freed false once the job has
// ended (whoever served it), and with freed true as qo_job_free() begins.
// index, next and queued are the set's own bookkeeping.
struct Membership {
    void *set = nullptr;
    void (*tell)(void *set, qo_job *job, bool freed) = nullptr;
    size_t index = 0;        // in the set's list of its jobs
    qo_job *next = nullptr;  // the next ended job in the set's queue
    bool queued = false;     // ended, waiting to be handed back
};

Membership &membership(qo_job *job) noexcept;
bool ended(const qo_job *job) noexcept;

} // namespace qo_job_member
