// The computed-matrix store. A look-up passes over the records in front of the
// wanted one by their length markers only; a hit then reads n² + 2n reals,
// against the order n³ of recomputing the result.
#include "coefficients/find_data.h"

#include <vector>

#include "input/reader.h"
#include "io/format.h"
#include "io/stop.h"
#include "io/units.h"

namespace mv {

store_index_block store_index;
store_ir_index_block store_ir_index;

namespace {

using sz = std::size_t;

int64_t record_bytes(int32_t n) {
  const int64_t m = n;
  return 4 * (m * m + 2 * m);
}

void lost_record(int32_t i) {
  file_failure("computed-matrix store: record " + std::to_string(i) +
               " of the index is missing from unit 98");
}

// Reads the record at the current position; its length is known to match n.
void read_result(float* a, int32_t lda, int32_t n, float* v1, float* v2) {
  const sz nn = static_cast<sz>(n);
  if (lda == n) {
    uf_read(store_unit, {uf_bytes_out(a, nn * nn), uf_bytes_out(v1, nn), uf_bytes_out(v2, nn)});
    return;
  }
  std::vector<float> matrix(nn * nn);
  uf_read(store_unit,
          {uf_bytes_out(matrix.data(), nn * nn), uf_bytes_out(v1, nn), uf_bytes_out(v2, nn)});
  for (sz j = 0; j < nn; ++j) {
    for (sz i = 0; i < nn; ++i) a[i + j * static_cast<sz>(lda)] = matrix[i + j * nn];
  }
}

void write_result(const float* a, int32_t lda, int32_t n, const float* v1, const float* v2) {
  const sz nn = static_cast<sz>(n);
  if (lda == n) {
    uf_write(store_unit, {uf_bytes(a, nn * nn), uf_bytes(v1, nn), uf_bytes(v2, nn)});
    return;
  }
  std::vector<float> matrix(nn * nn);
  for (sz j = 0; j < nn; ++j) {
    for (sz i = 0; i < nn; ++i) matrix[i + j * nn] = a[i + j * static_cast<sz>(lda)];
  }
  uf_write(store_unit, {uf_bytes(matrix.data(), nn * nn), uf_bytes(v1, nn), uf_bytes(v2, nn)});
}

}  // namespace

void find_data(int32_t state, std::string_view label, compute_routine routine, float* a,
               int32_t lda, int32_t n, float* v1, float* v2) {
  const std::string key = padded(label, token_length);
  write(6, "(a,a,a,i3,a,i9)", " Data required for symmetry ", key, " state=", state,
        "   dimension ", n);
  rewind_unit(store_unit);
  for (int32_t i = 1; i <= store_index.count; ++i) {
    const bool same_key = store_index.state[i - 1] == state && store_ir_index.label[i - 1] == key;
    const int64_t length = uf_peek_length(store_unit);
    if (length < 0) lost_record(i);
    // A record of the same key but another dimension is not the result asked
    // for: it is passed over like any other, never read past its end.
    if (same_key && length == record_bytes(n)) {
      read_result(a, lda, n, v1, v2);
      write(6, "(a,i3)", " Data read from file 98 record nr. ", i);
      return;
    }
    if (uf_skip(store_unit) != 0) lost_record(i);
  }

  routine(a, lda, n, v1, v2);

  if (store_index.count >= maxix) {
    list_write(6, "Maximum number of stored matrixes has been reached. ",
               "Calculated matrix will not be stored. ", "You may increase MAXIX.");
    return;
  }
  // Unit 98 stands just behind the last indexed record: the new record
  // replaces whatever followed there.
  store_index.count += 1;
  store_index.state[store_index.count - 1] = state;
  store_ir_index.label[store_index.count - 1] = key;
  write_result(a, lda, n, v1, v2);
  write(6, "(a,a,i4)", " Data calculated and stored on file98 ", "record nr. ", store_index.count);
}

}  // namespace mv
