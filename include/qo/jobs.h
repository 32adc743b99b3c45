/* qo's job sets: held jobs served together from one thread, each handed
 * back as it ends. Part of <qo.h>. */
#ifndef QO_JOBS_H
#define QO_JOBS_H

#include "job.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Job sets -----------------------------------------------------------
 * A set holds held jobs (qo_start(), qo_pipeline_start()) and serves them
 * together: qo_jobs_wait() hands back each job as it ends, in the order
 * they end, whichever it is. A call costs what the jobs that are ready
 * need, however many the set holds. The set does not own its jobs: it
 * hands each back once, and the caller waits for and frees it.
 *
 *     struct qo_jobs *set = qo_jobs_new();
 *     for (int i = 0; i < n; i++)
 *         if ((job[i] = qo_start(argv[i], &o[i])))
 *             qo_jobs_add(set, job[i]);
 *     struct qo_job *ended;
 *     while ((ended = qo_jobs_wait(set, -1))) {
 *         int status = qo_job_wait(ended, 0, NULL);
 *         char *what = qo_job_describe(ended);
 *         ...
 *         qo_job_free(ended);
 *     }
 *     qo_jobs_free(set);          (errno ENOENT: the set is empty)
 *
 * A job is in one set at most, and while it is, the set serves it: a
 * job's own calls (qo_job_serve(), qo_job_wait(), qo_job_stop()) still
 * work, and a job they end is handed back by the set's next wait. Freeing
 * a job takes it out of its set. A set is used from one thread at a time,
 * like its jobs; callbacks called while it serves may add jobs to it, not
 * free them. A job that could not start is NULL and is never added: its
 * failure is told where it was started. */
struct qo_jobs;

/* An empty set; NULL with errno when the kernel refuses its descriptors
 * (EMFILE). Ends the process when memory runs out. */
QO_API struct qo_jobs *qo_jobs_new(void) QO_NOEXCEPT;

/* Adds a job. 0, or -1 with errno: EINVAL for a NULL set or job, EEXIST
 * for a job already in a set (this one or another), or what epoll_ctl(2)
 * gave (ENOSPC: too many watches). A job that has already ended joins the
 * set as ended: the next qo_jobs_wait() hands it back, before the jobs
 * that end later. */
QO_API int qo_jobs_add(struct qo_jobs *set, struct qo_job *job) QO_NOEXCEPT;

/* One descriptor for the whole set, readable whenever qo_jobs_wait()
 * has something to do: a job to serve, or one that has ended. Poll it with
 * the caller's other descriptors, and call qo_jobs_wait(set, 0) when it is
 * readable; never read it, nor close it. -1 for a NULL set. */
QO_API int qo_jobs_fd(const struct qo_jobs *set) QO_NOEXCEPT;

/* Serves the set's jobs that need it until one has ended, up to
 * timeout_ms (0: never blocks, -1: no limit), and returns it, already out
 * of the set, its outcome ready: qo_job_wait(job, 0, statuses) returns it
 * at once. NULL with errno: EAGAIN at the timeout, ENOENT when the set
 * holds no job, EINVAL for a NULL set, or the errno of a failed
 * epoll_wait(2). */
QO_API struct qo_job *qo_jobs_wait(struct qo_jobs *set, int timeout_ms) QO_NOEXCEPT;

/* Frees the set, not its jobs: they go on as jobs of no set. NULL is
 * fine. */
QO_API void qo_jobs_free(struct qo_jobs *set) QO_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QO_JOBS_H */
