// A pool of worker threads that runs (function, argument) jobs and knows
// nothing of them, after zstd's lib/common/pool.c.  POSIX threads, not
// std::thread, so that a thread that cannot be started leaves the work to
// the caller instead of ending the process.
#include "pool.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>

#include "fit.h"

namespace qev {

struct pool {
  pthread_mutex_t m;
  pthread_cond_t work;  // a job was queued, or the pool stops
  pthread_cond_t idle;  // the queue ran empty and no job runs
  struct item {
    job_fn fn;
    void *arg;
  };
  item *queue;  // a ring of cap items, count of them from head
  int cap;
  int head;
  int count;
  int busy;     // jobs running on workers
  int waiting;  // workers asleep on `work`
  bool stop;
  pthread_t *threads;
  int n_threads;
};

namespace {

constexpr int max_threads = 1024;
constexpr int first_cap = 64;

// Takes the job at the head of the queue and runs it with the lock held on
// entry and on return but not while it runs.
void run_next(pool *p) {
  const pool::item it = p->queue[p->head];
  p->head = (p->head + 1) % p->cap;
  --p->count;
  ++p->busy;
  pthread_mutex_unlock(&p->m);
  it.fn(it.arg);
  pthread_mutex_lock(&p->m);
  --p->busy;
  if (p->count == 0 && p->busy == 0) pthread_cond_broadcast(&p->idle);
}

void *worker(void *arg) {
  pool *p = static_cast<pool *>(arg);
  pthread_mutex_lock(&p->m);
  for (;;) {
    ++p->waiting;
    while (!p->stop && p->count == 0) pthread_cond_wait(&p->work, &p->m);
    --p->waiting;
    if (p->count == 0) break;
    run_next(p);
  }
  pthread_mutex_unlock(&p->m);
  return nullptr;
}

// Room for one more job; false when memory ran out.
bool grow(pool *p) {
  if (p->count < p->cap) return true;
  const int cap = p->cap == 0 ? first_cap : 2 * p->cap;
  auto *q = static_cast<pool::item *>(
      std::malloc(sizeof(pool::item) * static_cast<std::size_t>(cap)));
  if (q == nullptr) return false;
  for (int k = 0; k < p->count; ++k) q[k] = p->queue[(p->head + k) % p->cap];
  std::free(p->queue);
  p->queue = q;
  p->cap = cap;
  p->head = 0;
  return true;
}

}  // namespace

int pool_cores() {
#ifdef CPU_COUNT
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
    return CPU_COUNT(&set);
#endif
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

pool *pool_start(int jobs) {
  pool *p = static_cast<pool *>(std::calloc(1, sizeof(pool)));
  if (p == nullptr) return nullptr;
  pthread_mutex_init(&p->m, nullptr);
  pthread_cond_init(&p->work, nullptr);
  pthread_cond_init(&p->idle, nullptr);
  if (jobs <= 0) jobs = pool_cores();
  if (jobs > max_threads) jobs = max_threads;
  const int wanted = jobs - 1;  // the caller is one of them
  if (wanted > 0)
    p->threads = static_cast<pthread_t *>(
        std::malloc(sizeof(pthread_t) * static_cast<std::size_t>(wanted)));
  if (p->threads != nullptr)
    while (p->n_threads < wanted &&
           pthread_create(&p->threads[p->n_threads], nullptr, worker, p) == 0)
      ++p->n_threads;
  return p;
}

void pool_submit(pool *p, job_fn fn, void *arg) {
  if (p->n_threads == 0) {
    fn(arg);
    return;
  }
  pthread_mutex_lock(&p->m);
  if (!grow(p)) {
    pthread_mutex_unlock(&p->m);
    fn(arg);
    return;
  }
  p->queue[(p->head + p->count) % p->cap] = {fn, arg};
  ++p->count;
  // Waking a worker is a system call: only when one sleeps, which it does
  // only when the submitter is ahead of no one.
  const bool wake = p->waiting > 0;
  pthread_mutex_unlock(&p->m);
  if (wake) pthread_cond_signal(&p->work);
}

void pool_drain(pool *p) {
  pthread_mutex_lock(&p->m);
  while (p->count > 0) run_next(p);
  while (p->busy > 0) pthread_cond_wait(&p->idle, &p->m);
  pthread_mutex_unlock(&p->m);
}

void pool_stop(pool *p) {
  if (p == nullptr) return;
  pool_drain(p);
  pthread_mutex_lock(&p->m);
  p->stop = true;
  pthread_mutex_unlock(&p->m);
  pthread_cond_broadcast(&p->work);
  for (int k = 0; k < p->n_threads; ++k) pthread_join(p->threads[k], nullptr);
  pthread_cond_destroy(&p->idle);
  pthread_cond_destroy(&p->work);
  pthread_mutex_destroy(&p->m);
  std::free(p->threads);
  std::free(p->queue);
  std::free(p);
}

}  // namespace qev
