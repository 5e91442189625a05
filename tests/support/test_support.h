#pragma once

// Helpers shared by the tests: temporary folders, whole files, and running
// the batch program as a user would.

#include <filesystem>
#include <string>
#include <vector>

namespace korvan::test {

// A fresh folder under the system's temporary folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& contents);
// The file's lines without their terminators (LF or CR LF).
std::vector<std::string> ReadLines(const std::filesystem::path& path);

// A file of the project's source tree, for example "examples/trial.dat".
std::string SourcePath(const std::string& relative);

struct CliResult {
  int exitCode = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};
// Runs korvan-cli with the arguments, without a terminal.
CliResult RunCli(const std::vector<std::string>& args);
// The same for another program of the build.
CliResult RunProgram(const std::string& program, const std::vector<std::string>& args);

}  // namespace korvan::test
