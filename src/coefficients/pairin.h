// The pair loader: for one configuration pair, loads the coefficient store and
// builds from the recipe file the bra-side Hamiltonian, the ket-side
// Hamiltonian and the transition (or mixing) operator between them.
#pragma once
#include <cstdint>
#include <string_view>

#include "coefficients/etr.h"

namespace mv {

// type_*: 1 ground, 2 excited; conf_*: 1..3. With no operator between the two
// (actor_count 0) it returns at once, reads nothing and leaves ham_bra,
// ham_ket and trans untouched. Otherwise they receive the row-index positions
// of dim_bra x dim_bra, dim_ket x dim_ket and dim_bra x dim_ket matrices; the
// dimensions take the values of the recipe headers.
void pairin(int32_t& ham_bra, int32_t& ham_ket, int32_t& trans, int32_t& dim_bra, int32_t& dim_ket,
            std::string_view bra, std::string_view op, std::string_view ket,
            std::string_view fourth, int32_t type_bra, int32_t type_ket, int32_t conf_bra,
            int32_t conf_ket);

}  // namespace mv
