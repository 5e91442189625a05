// A whole run on arbitrary data-file bytes with fixed, small parameters. A
// run must end in a report or in a KorvanError for the user; anything else
// (a crash, a sanitizer report, another exception) is a finding. Either way
// the output folder must hold no temporary file, a failed run no report,
// and a report no infinite or undefined number.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "base/korvan_error.h"
#include "run/run.h"

namespace {

namespace fs = std::filesystem;

// Every line is built, as for the window, and thrown away.
class DiscardingSink final : public korvan::ProgressSink {
 public:
  void WriteLine(std::string_view line) override { characters_ += line.size(); }
  void Clear() override {}

 private:
  std::size_t characters_ = 0;
};

[[noreturn]] void Finding(const std::string& what) {
  std::fprintf(stderr, "run on fuzzed data: %s\n", what.c_str());
  std::abort();
}

const fs::path& Folder() {
  static const fs::path folder = [] {
    std::string pattern = (fs::temp_directory_path() / "korvan-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) Finding("cannot make a temporary folder");
    return fs::path(pattern);
  }();
  return folder;
}

// Two-character codes from 1, 3 and 5, the age at 7, two traits of four
// characters from 9: a short line holds a whole record, so mutations reach
// every field. The capacities are small enough that data exceed them.
korvan::RunParameters Parameters() {
  korvan::RunParameters params;
  params.dataPath = (Folder() / "trial.dat").string();
  params.reportPath = (Folder() / "trial.out").string();
  params.nSite = 4, params.nBlock = 4, params.nFamily = 8, params.nRecord = 64;
  params.nTrait = 2, params.ageSel = 10;
  params.colSite = 1, params.wSite = 2;
  params.colBlock = 3, params.wBlock = 2;
  params.colFamily = 5, params.wFamily = 2;
  params.colAge = 7, params.wAge = 2;
  params.colTrait = 9, params.wTrait = 4;
  return params;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void CheckFolder(bool succeeded) {
  for (const auto& entry : fs::directory_iterator(Folder())) {
    const std::string name = entry.path().filename().string();
    if (name == "trial.dat") continue;
    if (name != "trial.out" || !succeeded) Finding("left " + name + " in the output folder");
  }
  if (!succeeded) return;
  const std::string report = ReadAll(Folder() / "trial.out");
  const std::string body = report.substr(report.find('\n') + 1);
  for (const char* word : {"inf", "nan", "INF", "NAN"})
    if (body.find(word) != std::string::npos) Finding(std::string("the report holds ") + word);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const korvan::RunParameters params = Parameters();
  {
    std::ofstream out(params.dataPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  fs::remove(params.reportPath);
  DiscardingSink sink;
  bool succeeded = false;
  try {
    korvan::RunCalculation(params, sink);
    succeeded = true;
  } catch (const korvan::KorvanError&) {
  } catch (const std::exception& other) {
    Finding(std::string("an exception that is no KorvanError: ") + other.what());
  }
  CheckFolder(succeeded);
  return 0;
}
