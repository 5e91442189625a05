#pragma once

#include "base/tables.h"

namespace korvan {

// The inverse of a(1..n, 1..n) as the method is written: the matrix copied
// in and eliminated afresh by InvertMatrix for every column of the identity.
// Slow; InvertByElimination (and so InvertByColumns) must give its bits.
// Throws SingularEquations.
Table2<float> InvertByColumnsStraightforward(const Table2<float>& a, int n);

}  // namespace korvan
