// The store file's (unit 99) record checks, shared by the readers of its
// matrix forms (whole, upper triangle, factored).
#pragma once
#include <cstdint>
#include <string>

namespace mv {

// Stops the run with status 2: "Coefficient store file FTN99 (unit 99)
// refused: " and why.
[[noreturn]] void refuse_store(const std::string& why);

// The next record of unit 99 must hold exactly n 4-byte items; what names it
// in the refusal.
void expect_record(int64_t n, const std::string& what);

// n as a work-array request: a size that cannot fit stops the run with the
// work array's own message and its real size, instead of overflowing.
int32_t cells_for(int64_t n);

}  // namespace mv
