// The pool: threads()-1 workers and the caller share the parts of a job. The
// caller runs part 0 and then, like every worker, claims the next part nobody
// has taken until none is left; it waits only for parts a worker has begun.
// A worker that is slow to come (asleep, or off its core on a busy machine)
// therefore never holds a job up: it finds every part taken and waits for the
// next job, having cost next to nothing.
//
// Workers spin briefly before they sleep, because the kernels hand out a job
// per reduction step (thousands per diagonalisation) and a wake-up takes
// longer than a short step; the spin is short, so that a thread that cannot
// help costs little CPU.
#include "parallel/pool.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace mv::parallel {

namespace {

thread_local bool inside_part = false;

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// A job's parts are claimed from one word: its generation (bits 32..63), its
// number of parts (bits 16..31) and the next part to hand out (bits 0..15).
// A claim is a compare-and-swap of the whole word, so it can only succeed on
// the job it was meant for, never on the next one.
constexpr int32_t max_parts = 0xFFFF;

uint64_t job_word(uint32_t generation, int32_t parts, int32_t next) {
  return (uint64_t{generation} << 32) | (uint64_t(parts) << 16) | uint64_t(next);
}

class Pool {
 public:
  // More threads than cores: a spinning thread would only keep the one it
  // waits for off its core.
  explicit Pool(int32_t threads)
      : spin_rounds_(threads <= cores() ? 2000 : 0), errors_(static_cast<std::size_t>(threads)) {
    for (int32_t t = 1; t < threads; ++t) workers_.emplace_back([this] { work(); });
  }
  ~Pool() {
    stop_.store(true, std::memory_order_seq_cst);
    publish(generation_.load(std::memory_order_relaxed) + 1);
    for (std::thread& w : workers_) w.join();
  }
  int32_t size() const { return static_cast<int32_t>(workers_.size()) + 1; }

  // 2 <= parts <= size(); the caller holds the dispatch lock.
  void run(int32_t parts, FunctionRef<void(int32_t)> part) {
    part_ = &part;
    for (int32_t t = 0; t < parts; ++t) errors_[static_cast<std::size_t>(t)] = nullptr;
    finished_.store(0, std::memory_order_relaxed);
    const uint32_t generation = generation_.load(std::memory_order_relaxed) + 1;
    state_.store(job_word(generation, parts, 1), std::memory_order_release);  // part 0: ours
    publish(generation);
    call(0);
    for (int32_t t = claim(generation); t >= 0; t = claim(generation)) call(t);
    // Only parts that a worker has begun are left: wait for them.
    int32_t done = finished_.load(std::memory_order_acquire);
    for (int32_t k = 0; k < spin_rounds_ && done != parts; ++k) {
      relax();
      done = finished_.load(std::memory_order_acquire);
    }
    while (done != parts) {
      finished_.wait(done, std::memory_order_acquire);
      done = finished_.load(std::memory_order_acquire);
    }
    for (int32_t t = 0; t < parts; ++t) {
      if (errors_[static_cast<std::size_t>(t)]) std::rethrow_exception(errors_[t]);
    }
  }

 private:
  // The next part of job `generation` nobody has taken, or -1.
  int32_t claim(uint32_t generation) {
    uint64_t s = state_.load(std::memory_order_acquire);
    for (;;) {
      const int32_t parts = static_cast<int32_t>((s >> 16) & max_parts);
      const int32_t next = static_cast<int32_t>(s & max_parts);
      if ((s >> 32) != generation || next >= parts) return -1;
      if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acq_rel,
                                       std::memory_order_acquire))
        return next;
    }
  }

  void call(int32_t t) {
    inside_part = true;
    try {
      (*part_)(t);
    } catch (...) {
      errors_[static_cast<std::size_t>(t)] = std::current_exception();
    }
    inside_part = false;
    finished_.fetch_add(1, std::memory_order_acq_rel);
    finished_.notify_one();
  }

  // Wakes the workers that sleep; those that spin see the new generation.
  void publish(uint32_t generation) {
    generation_.store(generation, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) > 0) generation_.notify_all();
  }

  void work() {
    uint32_t seen = 0;
    for (;;) {
      uint32_t now = generation_.load(std::memory_order_acquire);
      for (int32_t k = 0; k < spin_rounds_ && now == seen; ++k) {
        relax();
        now = generation_.load(std::memory_order_acquire);
      }
      if (now == seen) {
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        generation_.wait(seen, std::memory_order_seq_cst);
        sleepers_.fetch_sub(1, std::memory_order_seq_cst);
        now = generation_.load(std::memory_order_acquire);
      }
      seen = now;
      if (stop_.load(std::memory_order_seq_cst)) return;
      for (int32_t t = claim(seen); t >= 0; t = claim(seen)) call(t);
    }
  }

  const int32_t spin_rounds_;
  std::vector<std::thread> workers_;
  std::atomic<uint64_t> state_{0};
  std::atomic<uint32_t> generation_{0};
  std::atomic<int32_t> finished_{0};
  std::atomic<int32_t> sleepers_{0};
  std::atomic<bool> stop_{false};
  const FunctionRef<void(int32_t)>* part_ = nullptr;
  std::vector<std::exception_ptr> errors_;
};

std::mutex dispatch;  // one job at a time; held while the pool is rebuilt too
int32_t chosen = 0;   // 0: every core
std::unique_ptr<Pool> pool;

Pool& current_pool() {
  const int32_t want = threads();
  if (!pool || pool->size() != want) {
    pool.reset();
    pool = std::make_unique<Pool>(want);
  }
  return *pool;
}

}  // namespace

int32_t cores() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int32_t>(std::min(n, 1024u));
}

// MORVEX7_THREADS when it is a positive count (the executable refuses any
// other value), else every core.
int32_t default_threads() {
  static const int32_t n = [] {
    const char* env = std::getenv("MORVEX7_THREADS");
    if (env == nullptr) return cores();
    char* end = nullptr;
    const long v = std::strtol(env, &end, 10);
    return (end != env && *end == '\0' && v >= 1 && v <= 4096) ? static_cast<int32_t>(v) : cores();
  }();
  return n;
}

int32_t threads() { return chosen > 0 ? chosen : default_threads(); }

void set_threads(int32_t n) {
  std::lock_guard<std::mutex> lock(dispatch);
  chosen = n > 0 ? n : 0;
}

void run(int32_t parts, FunctionRef<void(int32_t)> part) {
  if (parts <= 0) return;
  const auto serial = [&] {
    for (int32_t t = 0; t < parts; ++t) part(t);
  };
  if (parts == 1 || inside_part || parts > threads()) return serial();
  std::unique_lock<std::mutex> lock(dispatch, std::try_to_lock);
  if (!lock.owns_lock()) return serial();
  current_pool().run(parts, part);
}

int32_t range_start(int32_t n, int32_t parts, int32_t t, int32_t grain) {
  const int64_t chunks = (static_cast<int64_t>(n) + grain - 1) / grain;
  const int64_t start = grain * (chunks * t / parts);
  return static_cast<int32_t>(std::min<int64_t>(start, n));
}

void for_range(int32_t n, FunctionRef<void(int32_t, int32_t)> body, int32_t grain) {
  if (n <= 0) return;
  if (grain < 1) grain = 1;
  const int64_t chunks = (static_cast<int64_t>(n) + grain - 1) / grain;
  const int32_t parts = static_cast<int32_t>(std::min<int64_t>(threads(), chunks));
  run(parts, [&](int32_t t) {
    body(range_start(n, parts, t, grain), range_start(n, parts, t + 1, grain));
  });
}

}  // namespace mv::parallel
