// The pool: threads()-1 workers that sleep on a condition variable between
// jobs, the caller taking part 0. A job is published by bumping a generation
// counter; workers and the caller spin briefly before sleeping, because the
// kernels hand out a job per reduction step (thousands per diagonalisation)
// and a sleep/wake costs more than a short step.
#include "parallel/pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
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

class Pool {
 public:
  // More threads than cores: a spinning thread would only keep the one it
  // waits for off its core.
  explicit Pool(int32_t threads)
      : spin_rounds_(threads <= cores() ? 1000 : 0), errors_(static_cast<std::size_t>(threads)) {
    for (int32_t t = 1; t < threads; ++t) workers_.emplace_back([this, t] { work(t); });
  }
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_.store(true, std::memory_order_relaxed);
      generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    for (std::thread& w : workers_) w.join();
  }
  int32_t size() const { return static_cast<int32_t>(workers_.size()) + 1; }

  // parts <= size(); the caller holds the dispatch lock.
  void run(int32_t parts, FunctionRef<void(int32_t)> part) {
    part_ = &part;
    parts_ = parts;
    for (std::exception_ptr& e : errors_) e = nullptr;
    // Every worker reports back, busy or not, so that none still reads this
    // job's fields when the next one is published.
    remaining_.store(size() - 1, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(m_);
      generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    call(0);
    for (int32_t k = 0; k < spin_rounds_ && remaining_.load(std::memory_order_acquire) != 0; ++k)
      relax();
    if (remaining_.load(std::memory_order_acquire) != 0) {
      std::unique_lock<std::mutex> lock(m_);
      done_.wait(lock, [&] { return remaining_.load(std::memory_order_acquire) == 0; });
    }
    for (std::exception_ptr& e : errors_) {
      if (e) std::rethrow_exception(e);
    }
  }

 private:
  void call(int32_t t) {
    inside_part = true;
    try {
      (*part_)(t);
    } catch (...) {
      errors_[static_cast<std::size_t>(t)] = std::current_exception();
    }
    inside_part = false;
  }

  void work(int32_t t) {
    uint64_t seen = 0;
    for (;;) {
      for (int32_t k = 0; k < spin_rounds_ && generation_.load(std::memory_order_acquire) == seen;
           ++k)
        relax();
      if (generation_.load(std::memory_order_acquire) == seen) {
        std::unique_lock<std::mutex> lock(m_);
        wake_.wait(lock, [&] { return generation_.load(std::memory_order_acquire) != seen; });
      }
      seen = generation_.load(std::memory_order_acquire);
      if (stop_.load(std::memory_order_relaxed)) return;
      if (t < parts_) call(t);
      if (remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard<std::mutex> lock(m_);
        done_.notify_one();
      }
    }
  }

  const int32_t spin_rounds_;
  std::vector<std::thread> workers_;
  std::mutex m_;
  std::condition_variable wake_, done_;
  std::atomic<uint64_t> generation_{0};
  std::atomic<int32_t> remaining_{0};
  std::atomic<bool> stop_{false};
  const FunctionRef<void(int32_t)>* part_ = nullptr;
  int32_t parts_ = 0;
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
