#pragma once

namespace korvan {

#ifndef KORVAN_MAX_TRAIT
#define KORVAN_MAX_TRAIT 100
#endif
// maxTrait: the largest number of traits one run can analyse. A build
// setting (-DKORVAN_MAX_TRAIT=10 gives the first build), not a run parameter:
// the per-trait stores are sized by it.
inline constexpr int kMaxTrait = KORVAN_MAX_TRAIT;

}  // namespace korvan
