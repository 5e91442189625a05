#include "linalg/invert_matrix_straightforward.h"

#include <cstddef>
#include <vector>

#include "linalg/invert_matrix.h"

namespace korvan {

Table2<float> InvertByColumnsStraightforward(const Table2<float>& a, int n) {
  Table2<float> inverse(n, n), invMat(n, n + 1);
  std::vector<float> rowSwapRec(static_cast<std::size_t>(n) + 2), colSwapRec(static_cast<std::size_t>(n) + 2);
  for (int c = 1; c <= n; ++c) {
    for (int i = 1; i <= n; ++i) {
      for (int j = 1; j <= n; ++j) invMat(i, j) = a(i, j);
      invMat(i, n + 1) = i == c ? 1.0f : 0.0f;
    }
    InvertMatrix(invMat, n, rowSwapRec, colSwapRec);
    for (int i = 1; i <= n; ++i) inverse(i, c) = invMat(i, n + 1);
  }
  return inverse;
}

}  // namespace korvan
