#pragma once

#include <utility>
#include <vector>

namespace korvan {

// The elimination of one matrix by complete pivoting, kept so that any number
// of right-hand sides can be carried through it later, by another stage if
// need be. Only what touches a right-hand side is kept: the pivots, the pivot
// rows and, for every step, the multipliers of all rows.
struct Elimination {
  int n = 0;
  std::vector<float> pivot;                            // piv of step i
  std::vector<int> pivotRow;                           // pr of step i
  std::vector<float> multipliers;                      // t of step i, row k at i * (n + 1) + k
  std::vector<std::pair<int, int>> rowExchangesAfter;  // the column-record undo sweep
};

}  // namespace korvan
