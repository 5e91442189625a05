// The set-up of a large trial: 20 sites of 30 blocks, 1000 families, one
// tree per plot (600,000 records). Target: under 2 seconds on the team's
// 2-core machine.

#include <benchmark/benchmark.h>

#include "rundata/rundata.h"
#include "model/site_family_trace.h"
#include "model/absorb.h"
#include "model/fixed_equations.h"
#include "model/model_setup.h"
#include "base/progress.h"

namespace korvan {
namespace {

// The coded run of a complete sites x blocks x families trial, records in
// file order (site, block, family), as the level coding leaves it.
RunData CompleteTrial(int sites, int blocks, int families) {
  RunData run;
  run.nSite = sites;
  run.nFamily = families;
  run.nBlock = blocks;
  run.nRecord = sites * blocks * families;
  run.nRep = sites * blocks;
  run.nSF = sites * families;
  run.siteCode.assign(sites + 1, {});
  run.blockCode.assign(sites + 1, std::vector<LevelCode>(blocks + 1));
  run.blockCount.assign(sites + 1, blocks);
  run.familyCode.assign(families + 1, {});
  for (int i = 1; i <= sites; ++i) {
    run.siteCode[i] = LevelCode::Whole(i);
    for (int k = 1; k <= blocks; ++k) run.blockCode[i][k] = LevelCode::Whole(k);
  }
  for (int j = 1; j <= families; ++j) run.familyCode[j] = LevelCode::Whole(j);
  run.repOffset = sites + 1;
  run.p = run.repOffset + run.nRep;
  run.famEnd = run.p + families;
  run.q = run.famEnd + run.nSF;
  run.colOffset = {0, 0, 1, run.repOffset, run.p, run.famEnd, run.q};
  run.repSite.assign(run.p + 1, 0);
  run.recordColumn.Resize(run.nRecord);
  int r = 0;
  for (int i = 1; i <= sites; ++i)
    for (int k = 1; k <= blocks; ++k) {
      const int rep = (i - 1) * blocks + k;
      run.repSite[run.repOffset + rep] = 1 + i;
      for (int j = 1; j <= families; ++j) {
        ++r;
        run.recordColumn(r, 1) = 1;
        run.recordColumn(r, 2) = 1 + i;
        run.recordColumn(r, 3) = run.repOffset + rep;
        run.recordColumn(r, 4) = run.p + j;
        run.recordColumn(r, 5) = run.famEnd + (i - 1) * families + j;
      }
    }
  return run;
}

RunData LargeTrial() { return CompleteTrial(20, 30, 1000); }

void BM_SetUpModel(benchmark::State& state) {
  RunData run = LargeTrial();
  NullSink quiet;
  for (auto _ : state) {
    ProgressLog log(quiet);
    SetUpModel(run, log);
    benchmark::DoNotOptimize(run.trSFSF);
  }
  state.counters["records"] = run.nRecord;
}
BENCHMARK(BM_SetUpModel)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// The parts, to see where the time goes.
void BM_FixedInverse(benchmark::State& state) {
  const RunData run = LargeTrial();
  NullSink quiet;
  ProgressLog log(quiet);
  const Table2<float> coef = BuildFixedEquations(run, 3, log);
  for (auto _ : state) benchmark::DoNotOptimize(InvertByColumns(coef, run.p));
}
BENCHMARK(BM_FixedInverse)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FixedCrossProducts(benchmark::State& state) {
  const RunData run = LargeTrial();
  for (auto _ : state) benchmark::DoNotOptimize(FixedCrossProducts(run, 3, static_cast<int>(state.range(0))));
}
BENCHMARK(BM_FixedCrossProducts)->Arg(4)->Arg(5)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AbsorbFamiliesIntoBlocks(benchmark::State& state) {
  const RunData run = LargeTrial();
  const Incidence n = CountBlock(run, 3, 4);
  for (auto _ : state) benchmark::DoNotOptimize(Absorb(run, n, false));
}
BENCHMARK(BM_AbsorbFamiliesIntoBlocks)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SiteFamilyTrace(benchmark::State& state) {
  const RunData run = LargeTrial();
  NullSink quiet;
  ProgressLog log(quiet);
  const Table2<float> absorbed = Absorb(run, CountBlock(run, 3, 4), false);
  const Incidence familyBlocks = CountBlock(run, 4, 3);
  for (auto _ : state) {
    const BlockFamilyInverse c = RepFamilyInverse(absorbed, familyBlocks, log);
    benchmark::DoNotOptimize(CellTrace(c, CellIncidence(run, CountBlock(run, 5, 3), log), log));
  }
}
BENCHMARK(BM_SiteFamilyTrace)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace korvan

BENCHMARK_MAIN();
