#include "model/site_family_trace_straightforward.h"

#include <cstdint>

#include "format/number_format.h"
#include "linalg/invert_matrix_straightforward.h"
#include "model/site_family_trace.h"

namespace korvan {

namespace {

// acc - count x element / size, evaluated in double from single-precision
// operands and rounded once at the store.
float FamilyStep(float acc, float count, float element, float size) {
  return RoundToSingle(static_cast<double>(acc) -
                       static_cast<double>(count) * static_cast<double>(element) / static_cast<double>(size));
}

}  // namespace

Table2<float> RepFamilyInverseStraightforward(const Table2<float>& absorbedMat, const Table2<float>& count,
                                              const std::vector<float>& levelCount, ProgressLog& log) {
  const int nRep = count.LastRow(), nFamily = count.LastCol(), k = nRep + nFamily;
  WriteInverseSizeLine(k, log);
  const Table2<float> inverse = InvertByColumnsStraightforward(absorbedMat, nRep);
  CheckInverseSize(inverse, nRep);
  Table2<float> c(k, k), crossBlock(nFamily, nRep);
  for (int b = 1; b <= nRep; ++b)
    for (int j = 1; j <= nRep; ++j) c(b, j) = inverse(b, j);
  for (int b = 1; b <= nFamily; ++b)
    for (int j = 1; j <= nRep; ++j) {
      for (int m = 1; m <= nRep; ++m)
        crossBlock(b, j) = FamilyStep(crossBlock(b, j), count(m, b), inverse(m, j), levelCount[b]);
      c(j, nRep + b) = c(nRep + b, j) = crossBlock(b, j);
    }
  for (int b = 1; b <= nFamily; ++b)
    for (int j = 1; j <= nFamily; ++j) {
      float element = j == b ? RoundToSingle(1.0 / static_cast<double>(levelCount[b])) : 0.0f;
      for (int m = 1; m <= nRep; ++m) element = FamilyStep(element, count(m, b), crossBlock(j, m), levelCount[b]);
      c(nRep + b, nRep + j) = element;
    }
  return c;
}

Table2<float> CellIncidenceStraightforward(const RunData& run, ProgressLog& log) {
  const int k = run.nRep + run.nFamily;
  WriteCellSizeLine(k, run.nSF, log);
  Table2<float> b(run.nSF, k);
  for (int r = 1; r <= run.nRecord; ++r) {
    const int cell = run.recordColumn(r, 5) - run.colOffset[5];
    const int rep = run.recordColumn(r, 3) - run.colOffset[3];
    const int family = run.recordColumn(r, 4) - run.colOffset[3];
    b(cell, rep) = b(cell, rep) + 1.0f;
    b(cell, family) = b(cell, family) + 1.0f;
  }
  return b;
}

float CellTraceStraightforward(const Table2<float>& c, const Table2<float>& b, ProgressLog& log) {
  const int k = c.LastRow(), nSF = b.LastRow();
  float t = 0.0f;
  for (int i = 1; i <= k; ++i)
    for (int j = 1; j <= k; ++j) {
      float w = 0.0f;
      for (int cell = 1; cell <= nSF; ++cell) w = w + b(cell, i) * b(cell, j);
      t = t + c(i, j) * w;
    }
  WriteTraceLine(t, log);
  return t;
}

}  // namespace korvan
