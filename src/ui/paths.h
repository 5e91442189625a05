#pragma once

#include <string>
#include <string_view>

namespace korvan {

// The path of `name` inside `folder`, as the window builds the data path and
// the report path from its pickers. A folder that already ends in a separator
// (the root of a drive: "/", "A:\") gets no second one. The separator is the
// folder's own style: "\" for a folder with a drive letter or backslashes,
// "/" otherwise. An empty name (no file chosen, no output name typed) leaves
// the folder itself, which the parameter check then refuses by its box.
std::string JoinFolderAndName(std::string_view folder, std::string_view name);

}  // namespace korvan
