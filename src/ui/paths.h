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

// Where the results document, the tables and the page go when they are to
// stand beside the report: its path with the extension (if any) replaced by
// ".json", "-tables" and ".html", so that maize.out gives maize.json,
// maize-tables and maize.html. A report that itself ends in one of those
// keeps its name whole in front of the new ending.
struct ResultPaths {
  std::string json, tables, html;
};
ResultPaths ResultPathsBeside(std::string_view reportPath);

}  // namespace korvan
