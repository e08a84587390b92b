// The library's pool of worker threads, which the grouped and batched fits
// run on, and the command line's long tables too.
#ifndef QEV_POOL_H
#define QEV_POOL_H

namespace qev {

// A pool of worker threads that runs (function, argument) jobs, in any
// order, knowing nothing of them.  The thread that submits is one of the
// workers: it runs what is queued when it drains the pool, and every job
// runs on it when no thread could be started.
struct pool;
using job_fn = void (*)(void *arg);

// Starts a pool of `jobs` workers in all (0: every core this process may run
// on), the caller among them.  nullptr only when memory ran out.
pool *pool_start(int jobs);
// Queues a job, or runs it at once where the pool has no thread of its own.
void pool_submit(pool *p, job_fn fn, void *arg);
// Runs queued jobs on this thread and waits until every job has finished.
void pool_drain(pool *p);
// Drains the pool and ends its threads.
void pool_stop(pool *p);
// The cores this process may run on.
int pool_cores();

}  // namespace qev

#endif  // QEV_POOL_H
