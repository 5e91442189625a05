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

}  // namespace korvan
