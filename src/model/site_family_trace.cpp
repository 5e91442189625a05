#include "model/site_family_trace.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "format/number_format.h"
#include "base/korvan_error.h"
#include "linalg/invert_matrix.h"
#include "base/parallel.h"
#include "base/vector_clones.h"

namespace korvan {

// The elements of C that are not formed are finite as long as S^-1 is of
// moderate size: each is a weighted mean of elements of S^-1 (the counts of
// a family over its blocks sum to its size), give or take rounding. Only
// finite elements times a zero of B'B give the exact zero that lets the
// trace skip them. An inverse this large means the equations are singular
// in all but name.
constexpr double kLargestInverseElement = 1E+30;

void CheckInverseSize(const Table2<float>& inverse, int n) {
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j)
      if (!(std::fabs(static_cast<double>(inverse(i, j))) <= kLargestInverseElement))
        throw KorvanError(
            "The equations of the blocks after absorbing the families are too nearly singular to solve in single "
            "precision: their inverse has elements beyond 1E+30. The families link the blocks too weakly; check the "
            "block and family codes of the data file.");
}

void WriteInverseSizeLine(std::int64_t k, ProgressLog& log) {
  log.LineBy([&](std::string& line) {
    line += "Total Rec. No.=";
    AppendPlainWhole(line, k * k / 10 + 1);
    line += "(";
    AppendPlainWhole(line, k * k);
    line += ")";
  });
}

void WriteCellSizeLine(std::int64_t k, std::int64_t nSF, ProgressLog& log) {
  log.LineBy([&](std::string& line) {
    line += " Record No.=";
    AppendPlainWhole(line, k * nSF / 10 + 1);
  });
}

void WriteTraceLine(float t, ProgressLog& log) {
  log.LineBy([&](std::string& line) {
    line += " Trace = ";
    AppendPlainSingle(line, t);
  });
}

namespace {

bool IsNegativeZero(float x) { return std::bit_cast<std::uint32_t>(x) == 0x80000000u; }

// One step of the family rows of C: acc - count x element / size, evaluated
// in double from single-precision operands and rounded once at the store.
inline float FamilyStep(float acc, double count, float element, double size) {
  return RoundToSingle(static_cast<double>(acc) - count * static_cast<double>(element) / size);
}

// crossBlock(b, j) and familyBlock(b, b) summed step by step over all
// blocks k: the fallback when skipping the blocks without family b might
// not leave the same bits.
void FamilyRowOverAllBlocks(const Table2<float>& repInverse, const Incidence& familyBlocks, int b,
                            BlockFamilyInverse& c) {
  const int nRep = c.nRep;
  std::vector<double> count(nRep + 1, 0.0);
  for (int e = familyBlocks.rowStart[b]; e < familyBlocks.rowStart[b + 1]; ++e)
    count[familyBlocks.colIndex[e]] = static_cast<double>(familyBlocks.count[e]);
  const double size = static_cast<double>(familyBlocks.levelCountA[b]);
  float* row = c.crossBlock.Row(b);
  for (int j = 1; j <= nRep; ++j) {
    float acc = 0.0f;
    for (int k = 1; k <= nRep; ++k) acc = FamilyStep(acc, count[k], repInverse(k, j), size);
    row[j] = acc;
  }
  float diagonal = RoundToSingle(1.0 / size);
  for (int k = 1; k <= nRep; ++k) diagonal = FamilyStep(diagonal, count[k], row[k], size);
  c.familyDiagonal[b] = diagonal;
}

// The same over the blocks where family b stands, for the stretch of
// columns j between its first and last block. A skipped block adds a term
// 0 x element / size = +0 or -0 (the element is finite), which leaves every
// accumulator unchanged except -0 - (-0) = +0; so if any accumulator ever
// holds -0 (possible only through underflow) the row is formed again over
// all blocks.
KORVAN_VECTOR_CLONES void FamilyRow(const Table2<float>& repInverse, const Incidence& familyBlocks, int b, BlockFamilyInverse& c) {
  const int e0 = familyBlocks.rowStart[b];
  const int e1 = familyBlocks.rowStart[b + 1];
  const int* block = &familyBlocks.colIndex[e0];
  const float* count = &familyBlocks.count[e0];
  const double size = static_cast<double>(familyBlocks.levelCountA[b]);
  assert(e1 > e0);  // every family has records
  const int lo = block[0], hi = block[e1 - e0 - 1];
  float* row = c.crossBlock.Row(b);
  unsigned negativeZero = 0;
  for (int e = 0; e < e1 - e0; ++e) {
    const float* inverseRow = repInverse.Row(block[e]);
    const double countK = static_cast<double>(count[e]);
    for (int j = lo; j <= hi; ++j) {
      row[j] = FamilyStep(row[j], countK, inverseRow[j], size);
      negativeZero |= IsNegativeZero(row[j]);
    }
  }
  float diagonal = RoundToSingle(1.0 / size);
  for (int e = 0; e < e1 - e0; ++e) {
    diagonal = FamilyStep(diagonal, static_cast<double>(count[e]), row[block[e]], size);
    negativeZero |= IsNegativeZero(diagonal);
  }
  c.familyDiagonal[b] = diagonal;
  if (negativeZero) FamilyRowOverAllBlocks(repInverse, familyBlocks, b, c);
}

}  // namespace

BlockFamilyInverse RepFamilyInverse(const Table2<float>& absorbedMat, const Incidence& familyBlocks, ProgressLog& log) {
  BlockFamilyInverse c;
  c.nRep = familyBlocks.nB;
  c.nFamily = familyBlocks.nA;
  WriteInverseSizeLine(c.nRep + std::int64_t{c.nFamily}, log);
  c.repElimination = EliminateMatrix(absorbedMat, c.nRep);
  c.repBlock = InvertByElimination(c.repElimination);
  CheckInverseSize(c.repBlock, c.nRep);
  c.crossBlock = Table2<float>(c.nFamily, c.nRep);
  c.familyDiagonal.assign(c.nFamily + 1, 0.0f);
  // Each family's row is its own: families can be shared among threads.
  constexpr int kBandFamilies = 8;
  const int bands = (c.nFamily + kBandFamilies - 1) / kBandFamilies;
  auto formBand = [&](int band) {
    const int first = 1 + band * kBandFamilies;
    const int last = std::min(c.nFamily, first + kBandFamilies - 1);
    for (int b = first; b <= last; ++b) FamilyRow(c.repBlock, familyBlocks, b, c);
  };
  ForEachChunk(bands, static_cast<double>(familyBlocks.colIndex.size()) * c.nRep, formBand);
  return c;
}

CellRows CellIncidence(const RunData& run, Incidence cellBlocks, ProgressLog& log) {
  WriteCellSizeLine(run.nRep + std::int64_t{run.nFamily}, run.nSF, log);
  CellRows rows;
  rows.cellBlocks = std::move(cellBlocks);
  rows.cellFamily.assign(run.nSF + 1, 0);
  for (int r = 1; r <= run.nRecord; ++r)
    rows.cellFamily[run.recordColumn(r, 5) - run.colOffset[5]] = run.recordColumn(r, 4) - run.colOffset[4];
  return rows;
}

namespace {

// B'B where it is not zero, accumulated cell by cell so that every element
// adds its products in increasing order of the cells. A product of counts
// that is zero is an exact +0 and changes no running sum of such products.
struct CellCrossProducts {
  Table2<float> blockBlock;           // (B'B)(j, k), blocks j, k of one site
  Table2<float> familyBlock;          // familyBlock(f, j) = (B'B)(j, nRep + f) = (B'B)(nRep + f, j)
  std::vector<float> familyFamily;    // (B'B)(nRep + f, nRep + f)
};

CellCrossProducts CrossProductsByCell(const CellRows& b, int nRep, int nFamily) {
  CellCrossProducts bb{Table2<float>(nRep, nRep), Table2<float>(nFamily, nRep),
                       std::vector<float>(nFamily + 1, 0.0f)};
  const Incidence& cells = b.cellBlocks;
  for (int cell = 1; cell <= cells.nA; ++cell) {
    const int e0 = cells.rowStart[cell], e1 = cells.rowStart[cell + 1];
    const int family = b.cellFamily[cell];
    const float records = cells.levelCountA[cell];
    for (int x = e0; x < e1; ++x) {
      const int j = cells.colIndex[x];
      const float countJ = cells.count[x];
      float* row = bb.blockBlock.Row(j);
      for (int y = e0; y < e1; ++y) row[cells.colIndex[y]] = row[cells.colIndex[y]] + countJ * cells.count[y];
      bb.familyBlock(family, j) = bb.familyBlock(family, j) + countJ * records;
    }
    bb.familyFamily[family] = bb.familyFamily[family] + records * records;
  }
  return bb;
}

}  // namespace

// Terms where B'B is zero are skipped: there C is finite (see
// CheckInverseSize), so the term is +0 or -0, and the running sum, which
// starts at +0 and could become -0 only by adding -0 to -0, is never -0.
float CellTrace(const BlockFamilyInverse& c, const CellRows& b, ProgressLog& log) {
  const CellCrossProducts bb = CrossProductsByCell(b, c.nRep, c.nFamily);
  float t = 0.0f;
  for (int row = 1; row <= c.nRep; ++row) {
    for (int j = 1; j <= c.nRep; ++j)
      if (bb.blockBlock(row, j) != 0.0f) t = t + c.repBlock(row, j) * bb.blockBlock(row, j);
    for (int f = 1; f <= c.nFamily; ++f)
      if (bb.familyBlock(f, row) != 0.0f) t = t + c.crossBlock(f, row) * bb.familyBlock(f, row);
  }
  for (int f = 1; f <= c.nFamily; ++f) {
    for (int j = 1; j <= c.nRep; ++j)
      if (bb.familyBlock(f, j) != 0.0f) t = t + c.crossBlock(f, j) * bb.familyBlock(f, j);
    t = t + c.familyDiagonal[f] * bb.familyFamily[f];
  }
  WriteTraceLine(t, log);
  return t;
}

}  // namespace korvan
