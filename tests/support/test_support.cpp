#include "support/test_support.h"

#ifndef KORVAN_CLI_PATH
#define KORVAN_CLI_PATH "korvan-cli"
#endif

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace korvan::test {

namespace {
std::atomic<int> tempCounter{0};

std::string ShellQuote(const std::string& s) {
  std::string quoted = "'";
  for (char c : s) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}
}  // namespace

TempDir::TempDir() {
  path_ = std::filesystem::temp_directory_path() /
          ("korvan-test-" + std::to_string(::getpid()) + "-" + std::to_string(tempCounter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  const std::string text = ReadFile(path);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

std::string SourcePath(const std::string& relative) {
  return (std::filesystem::path(KORVAN_SOURCE_DIR) / relative).string();
}

CliResult RunCli(const std::vector<std::string>& args) {
  TempDir capture;
  std::string command = ShellQuote(KORVAN_CLI_PATH);
  for (const auto& a : args) {
    command += ' ';
    command += ShellQuote(a);
  }
  command += " </dev/null >";
  command += ShellQuote(capture / "out");
  command += " 2>";
  command += ShellQuote(capture / "err");
  const int status = std::system(command.c_str());
  CliResult result;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadFile(capture / "out");
  result.err = ReadFile(capture / "err");
  return result;
}

}  // namespace korvan::test
