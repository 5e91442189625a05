#pragma once

#include <cstddef>
#include <vector>

namespace korvan {

// A table indexed from 0 like all tables of the run; the stages use indices
// from 1 and element 0 of each dimension stays unused.
template <typename T>
class Table2 {
 public:
  Table2() = default;
  Table2(int lastRow, int lastCol)
      : rows_(lastRow + 1), cols_(lastCol + 1),
        data_(static_cast<std::size_t>(lastRow + 1) * static_cast<std::size_t>(lastCol + 1)) {}
  T& operator()(int r, int c) { return data_[Index(r, c)]; }
  const T& operator()(int r, int c) const { return data_[Index(r, c)]; }
  T* Row(int r) { return data_.data() + Index(r, 0); }
  const T* Row(int r) const { return data_.data() + Index(r, 0); }
  int LastRow() const { return rows_ - 1; }
  int LastCol() const { return cols_ - 1; }

 private:
  std::size_t Index(int r, int c) const {
    return static_cast<std::size_t>(r) * static_cast<std::size_t>(cols_) + static_cast<std::size_t>(c);
  }
  int rows_ = 0;
  int cols_ = 0;
  std::vector<T> data_;
};

// The records shared by each level of one factor a (the rows, 1..nA) and
// each level of another factor b (the columns, 1..nB), held sparsely: only
// the pairs that share records, each row in increasing order of b.
struct Incidence {
  int nA = 0;
  int nB = 0;
  std::vector<int> rowStart;        // row i (1..nA) is entries rowStart[i] .. rowStart[i + 1] - 1
  std::vector<int> colIndex;        // level of b of each entry
  std::vector<float> count;         // records of each entry
  std::vector<float> levelCountA;   // records per level of a, 1..nA
  std::vector<float> levelCountB;   // records per level of b, 1..nB
};

}  // namespace korvan
