// A matrix of the store file (unit 99) stored factored: a block matrix whose
// every block is a sum of Kronecker products of two small dense factors, as
// the model builder writes a coupled configuration's hybridisation.
#pragma once
#include <cstdint>

namespace mv {

// Reads matrix k (0-based in its section) of `rows` rows and `elements`
// elements once assembled, from its six records: layout, blocks, factor
// shapes, factor values, terms, weights. The records are read and checked
// outside the work array; the matrix is then assembled into the row index,
// columns and values a whole store of the same elements gives, taken from the
// work array in the same order and sizes. A record that disagrees with the
// counts stops the run with status 2, naming FTN99, the matrix and the cause.
void read_store_factored(int32_t k, int32_t elements, int32_t rows);

}  // namespace mv
