// Removal of computed-matrix store records between band-calculation blocks.
// A cleared record can never be found again; cleared records at the end of the
// index are dropped, so the next stored result takes the first one's place.
#include <algorithm>

#include "coefficients/find_data.h"
#include "input/getact.h"
#include "io/format.h"

namespace mv {

void delete_from_store(int32_t a, int32_t b) {
  if (store_index.count == 0) return;
  for (int32_t i = 1; i <= store_index.count; ++i) {
    const int32_t s = store_index.state[i - 1];
    if (a <= s && s <= b) store_index.state[i - 1] = 0;
  }
  while (store_index.count > 0 && store_index.state[store_index.count - 1] == 0) {
    store_index.count -= 1;
  }
  write(6, "(a,i3,a,i3,a/a,i3)", " States ", a, " to ", std::min(b, maxix),
        " deleted from store (as far as they were present).",
        " The number of records still in store is", store_index.count);
}

}  // namespace mv
