// The compiler's unsigned 128-bit integer: exact 64-by-64-bit products, UUID
// values and decimal coefficients wider than 64 bits.
#pragma once

namespace qc {

// __extension__: the type is GCC's and Clang's, not standard C++.
__extension__ typedef unsigned __int128 u128;

}  // namespace qc
