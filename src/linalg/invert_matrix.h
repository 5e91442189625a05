#pragma once

#include <exception>
#include <vector>

#include "linalg/elimination.h"
#include "base/tables.h"

namespace korvan {

// A pivot fell below the threshold: the equations are singular. The solver
// does not know what the equations mean; its caller turns this into a
// KorvanError that names them in the user's words.
struct SingularEquations : std::exception {
  int step = 0;                          // pivot step at which the search failed (1..n)
  std::vector<int> unpivotedColumns;     // the original columns still unpivoted then
  const char* what() const noexcept override { return "singular equations"; }
};

// Gauss-Jordan with complete pivoting in single precision, exactly as the
// reference: invMat(1..n, 1..n) is replaced by its inverse and column n + 1
// by the solution. rowSwapRec and colSwapRec hold at least n + 1 elements.
// Nothing outside rows 1..n and columns 1..n + 1 changes.
void InvertMatrix(Table2<float>& invMat, int n, std::vector<float>& rowSwapRec,
                  std::vector<float>& colSwapRec);

// Solves a·x = b for columns 1..m of `rhs` (rows 1..n), each solution left in
// place of its right-hand side, bit for bit what InvertMatrix leaves in column
// n + 1 when called with that column alone. The matrix is eliminated once.
void SolveColumns(const Table2<float>& a, int n, Table2<float>& rhs, int m);

// The inverse of a(1..n, 1..n): column c the solution for column c of the
// identity, bit for bit what SolveColumns gives for the identity (and so
// what InvertMatrix gives for each column), for about half its work.
// Throws SingularEquations.
Table2<float> InvertByElimination(const Table2<float>& a, int n);

// The elimination both of them make, for a matrix whose right-hand sides
// come later or in another stage. Throws SingularEquations.
Elimination EliminateMatrix(const Table2<float>& a, int n);

// SolveColumns and InvertByElimination with the matrix eliminated before.
void SolveColumns(const Elimination& e, Table2<float>& rhs, int m);
Table2<float> InvertByElimination(const Elimination& e);

}  // namespace korvan
