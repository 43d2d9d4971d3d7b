// The recipe-block reader: finds the next REDUCEDMATRIX block of a kind and
// three labels on unit 15 and turns its ADD lines into add-list entries.
#pragma once
#include <cstdint>
#include <string_view>

namespace mv {

// kind: "TRANSI", "GROUND" or "EXCITE" (contained in the header's kind word).
// dim_bra, dim_ket: expected dimensions (0: any); they take the header's.
// counter: next free add-list entry, advanced by one per ADD line; each
// entry's factor is the ADD coefficient times `factor`.
void etr(int32_t& dim_bra, int32_t& dim_ket, std::string_view bra, std::string_view op,
         std::string_view ket, std::string_view fourth, std::string_view kind, int32_t& counter,
         float factor);

}  // namespace mv
