// generate_trial: writes a synthetic multi-site progeny trial in korvan's
// fixed-column format, and the exact korvan-cli command that analyses it.
//
//   generate_trial --sites N --blocks N --families N [--trees N] [--traits N]
//                  [--missing FRACTION] [--seed N] [--age N] [--report FILE]
//                  [--sidecar] --out FILE
//
// Layout of a line: site 1-4, block 5-8, family 9-14, age 15-18, then each
// trait in 10 columns with three decimals. Records run site by site, block by
// block; within a block the families stand in their own random order, as the
// plots of a randomised complete block would be listed.
//
// A trait value is site + block-within-site + family + site x family + error,
// each effect drawn from a normal distribution whose variance is a fixed share
// of the trait's within-site variance. Effects of different traits share a
// common factor, so traits are correlated (some negatively) as measured traits
// of the same trees are.
//
// The same options and seed always give the same bytes: the generator and the
// normal deviates are defined here in integer arithmetic, because the standard
// library's distributions differ from one implementation to the next.

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <numeric>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

// A mistake in the options: reported with the usage, exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr std::string_view kUsage =
    "usage: generate_trial --sites N --blocks N --families N [--trees N] [--traits N]\n"
    "                      [--missing FRACTION] [--seed N] [--age N] [--report FILE]\n"
    "                      [--sidecar] --out FILE\n"
    "  --blocks is per site, --trees per plot (block x family); --missing drops that\n"
    "  fraction of the site x family cells, keeping every family and every site linked.\n"
    "  Prints the korvan-cli command for the file; --sidecar also writes FILE.args\n"
    "  (the arguments, one a line) and FILE.counts (records, p, K, nSF, ...).\n";

struct HelpRequested {};

struct TrialOptions {
  int sites = 0;
  int blocks = 0;    // per site
  int families = 0;
  int trees = 1;     // per plot: one block x family
  int traits = 1;
  double missing = 0;  // share of site x family cells dropped
  std::uint64_t seed = 1;
  int age = 10;
  std::string out;
  std::string report;  // korvan-cli --output; default: out with extension .out
  bool sidecar = false;
};

// The field widths of the layout bound the codes and the age.
constexpr int kMaxSites = 9999;
constexpr int kMaxBlocks = 9999;
constexpr int kMaxFamilies = 999999;
constexpr int kMaxAge = 9999;
constexpr int kMaxTraits = 1000;
constexpr int kTraitWidth = 10;
constexpr int kPrefixWidth = 18;  // site, block, family and age fields

template <typename T>
T ParseWhole(std::string_view option, std::string_view text, T low, T high) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    throw UsageError(std::string(option) + " needs a whole number from " + std::to_string(low) +
                     " to " + std::to_string(high) + ", not '" + std::string(text) + "'");
  }
  return value;
}

double ParseFraction(std::string_view option, std::string_view text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  // Dropping every cell would leave no trial; 0.95 already keeps only one cell in twenty.
  if (ec != std::errc() || end != text.data() + text.size() || !(value >= 0 && value <= 0.95)) {
    throw UsageError(std::string(option) + " needs a fraction from 0 to 0.95, not '" +
                     std::string(text) + "'");
  }
  return value;
}

TrialOptions ParseOptions(int argc, char** argv) {
  TrialOptions o;
  bool haveSites = false, haveBlocks = false, haveFamilies = false;
  for (int a = 1; a < argc; ++a) {
    const std::string_view name = argv[a];
    if (name == "--help") throw HelpRequested();
    if (name == "--sidecar") {
      o.sidecar = true;
      continue;
    }
    static constexpr std::string_view kValued[] = {"--sites", "--blocks", "--families", "--trees", "--traits",
                                                   "--missing", "--seed", "--age", "--out", "--report"};
    if (std::find(std::begin(kValued), std::end(kValued), name) == std::end(kValued)) {
      throw UsageError("unknown option '" + std::string(name) + "'");
    }
    if (a + 1 >= argc) throw UsageError(std::string(name) + " needs a value");
    const std::string_view value = argv[++a];
    if (name == "--sites") o.sites = ParseWhole(name, value, 1, kMaxSites), haveSites = true;
    else if (name == "--blocks") o.blocks = ParseWhole(name, value, 1, kMaxBlocks), haveBlocks = true;
    else if (name == "--families") o.families = ParseWhole(name, value, 1, kMaxFamilies), haveFamilies = true;
    else if (name == "--trees") o.trees = ParseWhole(name, value, 1, 1000);
    else if (name == "--traits") o.traits = ParseWhole(name, value, 1, kMaxTraits);
    else if (name == "--missing") o.missing = ParseFraction(name, value);
    else if (name == "--seed") o.seed = ParseWhole<std::uint64_t>(name, value, 0, UINT64_MAX);
    else if (name == "--age") o.age = ParseWhole(name, value, 0, kMaxAge);
    else if (name == "--out") o.out = value;
    else o.report = value;
  }
  if (!haveSites || !haveBlocks || !haveFamilies || o.out.empty()) {
    throw UsageError("--sites, --blocks, --families and --out are required");
  }
  if (o.report.empty()) {
    const auto dot = o.out.find_last_of('.');
    const auto slash = o.out.find_last_of('/');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    o.report = (hasExtension ? o.out.substr(0, dot) : o.out) + ".out";
    // A data file named *.out must not become its own report.
    if (o.report == o.out) o.report += ".out";
  }
  if (o.report == o.out) throw UsageError("--report names the data file itself; choose another name");
  return o;
}

// xoshiro256**, seeded through splitmix64: fast, and the same sequence everywhere.
class Random {
 public:
  explicit Random(std::uint64_t seed) {
    for (auto& word : s_) {
      seed += 0x9e3779b97f4a7c15ULL;
      std::uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
      word = z ^ (z >> 31);
    }
  }
  std::uint64_t Next() {
    const std::uint64_t result = Rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = Rotl(s_[3], 45);
    return result;
  }
  // Uniform in [0, n), without the bias of a plain modulo.
  std::uint64_t Below(std::uint64_t n) {
    const std::uint64_t limit = UINT64_MAX - UINT64_MAX % n;
    std::uint64_t x;
    do x = Next(); while (x >= limit);
    return x % n;
  }
  // Uniform in [0, 1) with 53 random bits.
  double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  // Standard normal as the sum of twelve uniforms less six (Irwin-Hall): summed
  // in integers, so no library function can change the digits; tails end at 6.
  double Normal() {
    std::uint64_t sum = 0;
    for (int i = 0; i < 6; ++i) {
      const std::uint64_t x = Next();
      sum += (x >> 32) + (x & 0xffffffffULL);
    }
    return static_cast<double>(sum) * 0x1.0p-32 - 6.0;
  }
  template <typename T>
  void Shuffle(std::vector<T>& v) {
    for (std::size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[Below(i)]);
  }

 private:
  static std::uint64_t Rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::array<std::uint64_t, 4> s_{};
};

// Which site x family cells are planted: cell (i, j) at present[i * families + j].
struct CellPlan {
  int sites = 0;
  int families = 0;
  std::vector<char> present;
  bool Has(int i, int j) const { return present[static_cast<std::size_t>(i) * families + j] != 0; }
  void Set(int i, int j) { present[static_cast<std::size_t>(i) * families + j] = 1; }
  std::int64_t Count() const { return std::count(present.begin(), present.end(), 1); }
};

// Union-find over sites (0..S-1) and families (S..S+F-1), joined by planted cells.
class Links {
 public:
  explicit Links(int n) : parent_(static_cast<std::size_t>(n)) { std::iota(parent_.begin(), parent_.end(), 0); }
  int Root(int x) {
    while (parent_[x] != x) x = parent_[x] = parent_[parent_[x]];
    return x;
  }
  void Join(int a, int b) { parent_[Root(a)] = Root(b); }

 private:
  std::vector<int> parent_;
};

// Drops a share of the cells, then puts back what a real trial would not lack:
// every family planted somewhere, every site with some family, and every site
// tied to the others through shared families. Without such ties the site
// effects could not be separated from the families planted there. The blocks
// of one site all hold the same families, so they stay linked by construction.
CellPlan PlanCells(const TrialOptions& o, Random& random) {
  CellPlan plan{o.sites, o.families, std::vector<char>(static_cast<std::size_t>(o.sites) * o.families, 1)};
  std::vector<std::int64_t> order(plan.present.size());
  std::iota(order.begin(), order.end(), 0);
  random.Shuffle(order);
  const auto dropped = static_cast<std::int64_t>(std::llround(o.missing * static_cast<double>(order.size())));
  for (std::int64_t c = 0; c < dropped; ++c) plan.present[order[c]] = 0;

  for (int j = 0; j < o.families; ++j) {
    bool planted = false;
    for (int i = 0; i < o.sites && !planted; ++i) planted = plan.Has(i, j);
    if (!planted) plan.Set(static_cast<int>(random.Below(o.sites)), j);
  }
  for (int i = 0; i < o.sites; ++i) {
    bool planted = false;
    for (int j = 0; j < o.families && !planted; ++j) planted = plan.Has(i, j);
    if (!planted) plan.Set(i, static_cast<int>(random.Below(o.families)));
  }

  Links links(o.sites + o.families);
  for (int i = 0; i < o.sites; ++i)
    for (int j = 0; j < o.families; ++j)
      if (plan.Has(i, j)) links.Join(i, o.sites + j);
  // Each family now stands at some site, so every group of linked sites holds a
  // family: plant one of them at site 1 as well.
  for (int j = 0; j < o.families; ++j) {
    if (links.Root(o.sites + j) != links.Root(0)) {
      plan.Set(0, j);
      links.Join(0, o.sites + j);
    }
  }
  return plan;
}

// A kind of measured trait: its mean, its coefficient of variation within a
// site, and the sign of its loading on the common factor.
struct TraitKind {
  double mean;
  double cv;
  double sign;
};
// Height (dm), diameter (mm), stem volume (dm3), straightness score, branch
// angle (degrees, steeper on vigorous trees) and wood density (kg/m3).
constexpr std::array<TraitKind, 6> kTraitKinds{{
    {85.0, 0.15, 1}, {160.0, 0.20, 1}, {95.0, 0.30, 1},
    {4.2, 0.22, 1}, {58.0, 0.15, -1}, {440.0, 0.08, -1},
}};

// Shares of the within-site phenotypic variance (they add up to 1): blocks,
// families, site x family, error. Sites differ by a standard deviation of
// kSiteCv times the mean. Taken as half-sib families, the
// individual heritability 4 Vf / (Vf + Vsf + Ve) is then about a third.
constexpr double kBlockShare = 0.05, kFamilyShare = 0.08, kCellShare = 0.04, kErrorShare = 0.83;
constexpr double kSiteCv = 0.12;

// How strongly each effect of different traits is tied to the common factor:
// genetic effects closely, environmental ones less.
constexpr double kSiteLoad = 0.6, kBlockLoad = 0.5, kFamilyLoad = 0.8, kCellLoad = 0.5, kErrorLoad = 0.6;

class TraitModel {
 public:
  explicit TraitModel(int traits) {
    for (int t = 0; t < traits; ++t) {
      const TraitKind& kind = kTraitKinds[static_cast<std::size_t>(t) % kTraitKinds.size()];
      // Later repeats of a kind get a slightly different mean, as a trait at a later age would.
      const double mean = kind.mean * (1.0 + 0.1 * static_cast<double>(t / static_cast<int>(kTraitKinds.size())));
      const double withinSd = kind.cv * mean;
      mean_.push_back(mean);
      sign_.push_back(kind.sign);
      sd_[0].push_back(kSiteCv * mean);
      sd_[1].push_back(withinSd * std::sqrt(kBlockShare));
      sd_[2].push_back(withinSd * std::sqrt(kFamilyShare));
      sd_[3].push_back(withinSd * std::sqrt(kCellShare));
      sd_[4].push_back(withinSd * std::sqrt(kErrorShare));
    }
  }
  enum Effect { kSite, kBlock, kFamily, kCell, kError };

  // One draw of an effect for every trait, written into out[0..traits).
  void Draw(Effect effect, Random& random, double* out) const {
    static constexpr std::array<double, 5> load{kSiteLoad, kBlockLoad, kFamilyLoad, kCellLoad, kErrorLoad};
    const double a = load[effect];
    const double b = std::sqrt(1.0 - a * a);
    const double common = random.Normal();
    const auto& sd = sd_[effect];
    for (std::size_t t = 0; t < sd.size(); ++t) out[t] = sd[t] * (sign_[t] * a * common + b * random.Normal());
  }
  double Mean(int t) const { return mean_[static_cast<std::size_t>(t)]; }

 private:
  std::vector<double> mean_, sign_;
  std::array<std::vector<double>, 5> sd_;  // per effect, per trait
};

// Writes `value` right-aligned in `width` columns; false when it does not fit.
template <typename T>
bool PutRight(char* field, int width, T value) {
  char digits[32];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  const auto length = static_cast<int>(result.ptr - digits);
  if (length > width) return false;
  std::memset(field, ' ', static_cast<std::size_t>(width - length));
  std::memcpy(field + width - length, digits, static_cast<std::size_t>(length));
  return true;
}

bool PutValue(char* field, double value) {
  char digits[32];
  const auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 3);
  const auto length = static_cast<int>(result.ptr - digits);
  if (length > kTraitWidth) return false;
  std::memset(field, ' ', static_cast<std::size_t>(kTraitWidth - length));
  std::memcpy(field + kTraitWidth - length, digits, static_cast<std::size_t>(length));
  return true;
}

// Collects lines and hands them to the file in large pieces: the trials of a
// benchmark run to hundreds of megabytes.
class LineWriter {
 public:
  explicit LineWriter(const std::string& path) : path_(path), file_(path, std::ios::binary | std::ios::trunc) {
    if (!file_) throw std::runtime_error("cannot create " + path);
    buffer_.reserve(kChunk + 4096);
  }
  void Append(std::string_view text) {
    buffer_.append(text);
    if (buffer_.size() >= kChunk) Flush();
  }
  void Close() {
    Flush();
    file_.close();
    if (!file_) throw std::runtime_error("cannot write " + path_ + " (disk full?)");
  }

 private:
  static constexpr std::size_t kChunk = std::size_t{1} << 22;
  void Flush() {
    file_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    if (!file_) throw std::runtime_error("cannot write " + path_ + " (disk full?)");
    buffer_.clear();
  }
  std::string path_;
  std::ofstream file_;
  std::string buffer_;
};

struct TrialCounts {
  std::int64_t records = 0;
  std::int64_t cells = 0;  // nSF: site x family cells planted
};

std::string FormatFraction(double x) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, x);
  return std::string(text, result.ptr);
}

TrialCounts WriteTrial(const TrialOptions& o) {
  Random random(o.seed);
  const CellPlan plan = PlanCells(o, random);
  const TraitModel model(o.traits);
  const auto n = static_cast<std::size_t>(o.traits);

  std::vector<double> familyEffect(static_cast<std::size_t>(o.families) * n);
  for (int j = 0; j < o.families; ++j) model.Draw(TraitModel::kFamily, random, &familyEffect[j * n]);

  LineWriter out(o.out);
  out.Append(": synthetic progeny trial: " + std::to_string(o.sites) + " sites x " + std::to_string(o.blocks) +
             " blocks x " + std::to_string(o.families) + " families x " + std::to_string(o.trees) +
             " trees per plot, " + std::to_string(o.traits) + " traits, missing cells " +
             FormatFraction(o.missing) + ", seed " + std::to_string(o.seed) + "\n");

  TrialCounts counts;
  counts.cells = plan.Count();
  std::vector<double> siteEffect(n), blockEffect(n), cellEffect(static_cast<std::size_t>(o.families) * n), error(n);
  std::vector<int> plotOrder;
  std::string line(kPrefixWidth + kTraitWidth * n + 1, ' ');
  line.back() = '\n';
  for (int i = 0; i < o.sites; ++i) {
    model.Draw(TraitModel::kSite, random, siteEffect.data());
    plotOrder.clear();
    for (int j = 0; j < o.families; ++j) {
      if (!plan.Has(i, j)) continue;
      plotOrder.push_back(j);
      model.Draw(TraitModel::kCell, random, &cellEffect[j * n]);
    }
    PutRight(&line[0], 4, i + 1);
    PutRight(&line[14], 4, o.age);
    for (int k = 0; k < o.blocks; ++k) {
      model.Draw(TraitModel::kBlock, random, blockEffect.data());
      random.Shuffle(plotOrder);
      PutRight(&line[4], 4, k + 1);
      for (const int j : plotOrder) {
        PutRight(&line[8], 6, j + 1);
        for (int tree = 0; tree < o.trees; ++tree) {
          model.Draw(TraitModel::kError, random, error.data());
          for (std::size_t t = 0; t < n; ++t) {
            const double y = model.Mean(static_cast<int>(t)) + siteEffect[t] + blockEffect[t] +
                             familyEffect[j * n + t] + cellEffect[j * n + t] + error[t];
            // Measured quantities are never negative; the rare draw below zero reads as 0.
            if (!PutValue(&line[kPrefixWidth + kTraitWidth * t], std::max(y, 0.0))) {
              throw std::logic_error("trait value does not fit its 10 columns");
            }
          }
          out.Append(line);
          ++counts.records;
        }
      }
    }
  }
  out.Close();
  return counts;
}

std::vector<std::string> BuildCliArguments(const TrialOptions& o, const TrialCounts& counts) {
  return {"--data", o.out, "--output", o.report,
          "--sites", std::to_string(o.sites), "--blocks", std::to_string(o.blocks),
          "--families", std::to_string(o.families), "--records", std::to_string(counts.records),
          "--traits", std::to_string(o.traits), "--age", std::to_string(o.age),
          "--site-col", "1,4", "--block-col", "5,4", "--family-col", "9,6",
          "--age-col", "15,4", "--trait-col", "19,10"};
}

std::string QuoteForShell(const std::string& word) {
  const bool plain = !word.empty() && word.find_first_not_of(
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+=.,/:@%") == std::string::npos;
  if (plain) return word;
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

void WriteSmallFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (!file) throw std::runtime_error("cannot write " + path);
}

// Every site keeps all its blocks, so nRep = sites x blocks; p and K are the
// orders of the fixed equations and of the absorbed block-and-family system.
std::string DescribeCounts(const TrialOptions& o, const TrialCounts& c) {
  const std::int64_t nRep = static_cast<std::int64_t>(o.sites) * o.blocks;
  std::string text;
  auto put = [&text](const char* name, std::int64_t value) { text += std::string(name) + " " + std::to_string(value) + "\n"; };
  put("records", c.records);
  put("sites", o.sites);
  put("blocks", o.blocks);
  put("nRep", nRep);
  put("families", o.families);
  put("nSF", c.cells);
  put("traits", o.traits);
  put("p", 1 + o.sites + nRep);
  put("K", nRep + o.families);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  TrialOptions options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const HelpRequested&) {
    std::cout << kUsage;
    return 0;
  } catch (const UsageError& e) {
    std::cerr << "generate_trial: " << e.what() << "\n" << kUsage;
    return 2;
  }
  try {
    const TrialCounts counts = WriteTrial(options);
    const std::vector<std::string> args = BuildCliArguments(options, counts);
    std::string command = "korvan-cli";
    for (const auto& a : args) command.append(" ").append(QuoteForShell(a));
    std::cout << command << "\n";
    if (options.sidecar) {
      std::string lines;
      for (const auto& a : args) lines += a + "\n";
      WriteSmallFile(options.out + ".args", lines);
      WriteSmallFile(options.out + ".counts", DescribeCounts(options, counts));
    }
  } catch (const std::exception& e) {
    std::cerr << "generate_trial: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
