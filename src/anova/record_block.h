#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <vector>

#include "rundata/rundata.h"

namespace korvan {

// The trait values of a run of consecutive records, record by record: the
// run holds them trait by trait, but a stage that takes every trait in one
// pass over the records wants a record's traits side by side, where the
// processor can work on several of them at once.
class RecordBlock {
 public:
  static constexpr int kRecords = 64;  // few enough for the first-level cache with 100 traits

  // Traits firstTrait..lastTrait.
  RecordBlock(int firstTrait, int lastTrait)
      : firstTrait_(firstTrait), lastTrait_(lastTrait),
        stride_(static_cast<std::size_t>(lastTrait - firstTrait) + 2), values_(kRecords * stride_, 0.0f) {}

  // Records first .. first + count - 1, count <= kRecords.
  void Load(const TraitValues& values, int first, int count) {
    assert(count >= 0 && count <= kRecords);
    for (int t = firstTrait_; t <= lastTrait_; ++t) {
      const double* trait = values.Trait(t) + first;
      const auto at = static_cast<std::size_t>(t - firstTrait_ + 1);
      for (int i = 0; i < count; ++i) values_[static_cast<std::size_t>(i) * stride_ + at] = RoundToSingle(trait[i]);
    }
  }

  // Record first + i of the last Load: element t - firstTrait + 1 is its
  // value of trait t (element t when the block holds all traits).
  const float* Record(int i) const { return values_.data() + static_cast<std::size_t>(i) * stride_; }

 private:
  int firstTrait_, lastTrait_;
  std::size_t stride_;
  std::vector<float> values_;
};

// Calls visit(block, first, count) for the records 1..nRecord in order, a
// block at a time, with traits firstTrait..lastTrait (by default all).
template <class Visit>
void ForEachRecordBlock(const RunData& run, Visit&& visit, int firstTrait = 1, int lastTrait = -1) {
  RecordBlock block(firstTrait, lastTrait < 0 ? run.nTrait : lastTrait);
  for (int first = 1; first <= run.nRecord; first += RecordBlock::kRecords) {
    const int count = std::min(RecordBlock::kRecords, run.nRecord - first + 1);
    block.Load(run.traitValue, first, count);
    visit(block, first, count);
  }
}

}  // namespace korvan
