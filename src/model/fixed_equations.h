#pragma once

#include "rundata/rundata.h"
#include "base/progress.h"

namespace korvan {

// X'X of the fixed part (factors 1..lastFixed: u, s, r) with constraint ones:
// one sum-to-zero condition on the sites and one on the blocks of each site,
// which make it non-singular when every column has records. Rows and columns
// 1..p, p = colOffset[lastFixed + 1]. Each row is shown in the progress
// window as numbers written with " ####" (lines outside the counted listings).
Table2<float> BuildFixedEquations(const RunData& run, int lastFixed, ProgressLog& log);

// What both forms of BuildFixedEquations do once X'X stands in `coef`: add
// the constraint ones and show the rows.
void FinishFixedEquations(const RunData& run, int lastFixed, Table2<float>& coef, ProgressLog& log);

// The inverse of a(1..n, 1..n): column c is the solution for column c of the
// identity, bit for bit what InvertMatrix gives for that right-hand side.
// Throws SingularEquations.
Table2<float> InvertByColumns(const Table2<float>& a, int n);

// X'Z_b Z_b'X for the random factor b, X the columns of factors 1..lastFixed:
// element (i, j) sums count(i, k) x count(j, k) over the levels k of b in
// increasing order, products and running sums in single precision.
Table2<float> FixedCrossProducts(const RunData& run, int lastFixed, int b);

// The sum over i and j = 1..n of coefInv(i, j) x zzProd(j, i), in this order,
// in single precision: tr(Z_b' P_X Z_b) when coefInv is a generalized inverse
// of X'X.
float TraceOfProduct(const Table2<float>& coefInv, const Table2<float>& zzProd, int n);

}  // namespace korvan
