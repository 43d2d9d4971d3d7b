// A small pool of threads for work that splits into independent parts (rows
// of a matrix, strips of columns, photon energies). Each part is given to one
// thread by a static rule, so which thread computes an element never changes
// what is computed: any thread count gives the same bits.
#pragma once
#include <cstdint>
#include <type_traits>
#include <utility>

namespace mv::parallel {

// The number of threads the pool runs parts on (at least 1). Until set, the
// environment variable MORVEX7_THREADS, else every core of the machine.
int32_t threads();
// Chooses the thread count; n < 1 means the default above.
void set_threads(int32_t n);
// Every core of the machine (at least 1).
int32_t cores();

// A non-owning reference to a callable, cheap to pass to run().
template <class Signature>
class FunctionRef;
template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
  FunctionRef(F&& f)  // NOLINT: implicit on purpose, like a function pointer
      : object_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* o, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(args)...);
        }) {}
  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

// Runs part(t) for t = 0..parts-1 side by side and returns when all are done;
// the calling thread takes part 0. With parts > threads(), or when called
// from inside a part (nested), or while another caller uses the pool, the
// parts run one after another in the calling thread, in ascending order. An
// exception thrown by a part is rethrown here (the lowest part's first), after
// every part has finished.
void run(int32_t parts, FunctionRef<void(int32_t)> part);

// [0, n) cut into min(threads(), ceil(n / grain)) contiguous ranges whose
// lengths are multiples of grain (but for the last), body(begin, end) on each.
void for_range(int32_t n, FunctionRef<void(int32_t, int32_t)> body, int32_t grain = 1);

// The start of range t when [0, n) is cut into `parts` ranges as for_range does.
int32_t range_start(int32_t n, int32_t parts, int32_t t, int32_t grain = 1);

}  // namespace mv::parallel
