#include "ui/paths.h"

namespace korvan {

namespace {

bool HasDriveLetter(std::string_view folder) {
  if (folder.size() < 2 || folder[1] != ':') return false;
  const char letter = folder[0];
  return (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
}

}  // namespace

std::string JoinFolderAndName(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (name.empty()) return path;
  if (path.empty()) return std::string(name);
  const bool windowsStyle = HasDriveLetter(folder) || folder.find('\\') != std::string_view::npos;
  const char separator = windowsStyle ? '\\' : '/';
  if (path.back() != '/' && path.back() != '\\') path += separator;
  path += name;
  return path;
}

ResultPaths ResultPathsBeside(std::string_view reportPath) {
  const std::size_t name = reportPath.find_last_of("/\\") + 1;  // npos + 1 is 0
  const std::size_t dot = reportPath.rfind('.');
  std::string_view stem = reportPath;
  // A leading dot is part of the name (".out"), not an extension.
  if (dot != std::string_view::npos && dot > name) stem = reportPath.substr(0, dot);
  ResultPaths paths{std::string(stem) + ".json", std::string(stem) + "-tables", std::string(stem) + ".html"};
  for (std::string* path : {&paths.json, &paths.tables, &paths.html})
    if (*path == reportPath) *path = std::string(reportPath) + path->substr(stem.size());
  return paths;
}

}  // namespace korvan
