// Text to number and pattern formatting, each in its fast and its general
// form: the reader converts every field of a data file, the listings of
// --procedure write every record's values.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "format/number_format.h"

namespace korvan {
namespace {

// Trait fields as the trial generator writes them ("%10.3f").
std::vector<std::string> TraitFields() {
  std::mt19937 random(1);
  std::normal_distribution<double> value(100, 30);
  std::vector<std::string> fields;
  for (int n = 0; n < 4096; ++n) {
    char text[32];
    std::snprintf(text, sizeof text, "%10.3f", value(random));
    fields.push_back(text);
  }
  return fields;
}

template <ParsedNumber (*Parse)(std::string_view)>
void ReadTraitFields(benchmark::State& state) {
  const std::vector<std::string> fields = TraitFields();
  std::vector<float> values(fields.size());
  for (auto _ : state) {
    // Stored, as the reader stores them: no chain of additions between fields.
    for (std::size_t n = 0; n < fields.size(); ++n) values[n] = static_cast<float>(Parse(fields[n]).value);
    benchmark::DoNotOptimize(values.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(fields.size()));
}
BENCHMARK(ReadTraitFields<ParseNumber>)->Name("ParseNumber/trait field");
BENCHMARK(ReadTraitFields<ParseNumberGeneral>)->Name("ParseNumberGeneral/trait field");

template <void (*Append)(std::string&, float, std::string_view)>
void WriteTraitValues(benchmark::State& state) {
  std::vector<float> values;
  for (const std::string& field : TraitFields()) values.push_back(static_cast<float>(TextToNumber(field)));
  std::string line;
  for (auto _ : state) {
    for (const float value : values) {
      line.clear();
      Append(line, value, "  ###.##");
    }
    benchmark::DoNotOptimize(line);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(values.size()));
}
void AppendFloat(std::string& out, float value, std::string_view pattern) {
  static constexpr Pattern kTrait("  ###.##");
  AppendPattern(out, value, pattern == kTrait.text() ? kTrait : Pattern(pattern));
}
BENCHMARK(WriteTraitValues<AppendFloat>)->Name("AppendPattern/trait value");
BENCHMARK(WriteTraitValues<AppendPatternGeneral>)->Name("AppendPatternGeneral/trait value");

template <void (*Append)(std::string&, std::int64_t, std::string_view)>
void WriteColumns(benchmark::State& state) {
  std::string line;
  std::int64_t column = 0;
  for (auto _ : state) {
    line.clear();
    for (int n = 0; n < 1024; ++n) Append(line, ++column % 30000, "  ####");
    benchmark::DoNotOptimize(line);
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}
void AppendWhole(std::string& out, std::int64_t value, std::string_view pattern) {
  static constexpr Pattern kColumn("  ####");
  AppendPattern(out, value, pattern == kColumn.text() ? kColumn : Pattern(pattern));
}
void AppendWholeGeneral(std::string& out, std::int64_t value, std::string_view pattern) {
  AppendPatternGeneral(out, value, pattern);
}
BENCHMARK(WriteColumns<AppendWhole>)->Name("AppendPattern/column");
BENCHMARK(WriteColumns<AppendWholeGeneral>)->Name("AppendPatternGeneral/column");

}  // namespace
}  // namespace korvan

BENCHMARK_MAIN();
