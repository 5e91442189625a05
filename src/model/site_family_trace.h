#pragma once

// Tr(sf:sf) = tr(Z_sf' P Z_sf), P the projection onto u, s, r and f, from the
// block-and-family equations alone (blocks are nested in sites):
// Tr(sf:sf) = sum over b, j of C(b, j) x (B'B)(b, j), C a generalized inverse
// of those equations and B the counts each site x family cell shares with
// each block and each family. Rows and columns of C and B'B: blocks 1..nRep,
// then families nRep + 1 .. nRep + nFamily.

#include <cstdint>
#include <vector>

#include "base/progress.h"
#include "base/tables.h"
#include "rundata/rundata.h"

namespace korvan {

// The elements of C that the trace reads. B'B is zero between two different
// families (every cell has one family) and between a block and a family
// that does not stand in it, and those elements of C are not formed.
struct BlockFamilyInverse {
  int nRep = 0;
  int nFamily = 0;
  Table2<float> repBlock;             // C(j, k) = S^-1(j, k), S the absorbed block equations
  Table2<float> crossBlock;           // (b, j) = C(nRep + b, j) = C(j, nRep + b) where family b stands in block j
  std::vector<float> familyDiagonal;  // (b) = C(nRep + b, nRep + b)
  Elimination repElimination;         // of S, for the trait stage to solve with again
};

// C from S = absorbedMat (the blocks after absorbing the families, one
// overall constraint) and `familyBlocks` = CountBlock(run, 4, 3): the
// blocks where each family stands and the family sizes. Each element is the
// step-by-step sum over all blocks in increasing order, every update
// evaluated in double and rounded to single precision. Writes the line
// "Total Rec. No.=" R "(" K^2 ")". Throws SingularEquations when S is.
BlockFamilyInverse RepFamilyInverse(const Table2<float>& absorbedMat, const Incidence& familyBlocks, ProgressLog& log);

// B, row by row: for each site x family cell, its records in each block and
// its family.
struct CellRows {
  Incidence cellBlocks;          // CountBlock(run, 5, 3); levelCountA = records of each cell
  std::vector<int> cellFamily;   // cellFamily(c): the family of cell c
};

// B from `cellBlocks` = CountBlock(run, 5, 3). Writes the line " Record No.=" R.
CellRows CellIncidence(const RunData& run, Incidence cellBlocks, ProgressLog& log);

// The trace, summed over b and then j in increasing order, each product and
// sum rounded to single precision. Writes the line " Trace = " T.
float CellTrace(const BlockFamilyInverse& c, const CellRows& b, ProgressLog& log);

// What both forms of the three steps share: their window lines, with the
// sizes C and B would take in records of ten values, and the refusal of a
// block inverse too large to trust.
void WriteInverseSizeLine(std::int64_t k, ProgressLog& log);
void WriteCellSizeLine(std::int64_t k, std::int64_t nSF, ProgressLog& log);
void WriteTraceLine(float t, ProgressLog& log);
void CheckInverseSize(const Table2<float>& inverse, int n);

}  // namespace korvan
