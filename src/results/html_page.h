#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace korvan {

// One self-contained page of the results document: no script, nothing
// fetched, every number the document's.
std::string HtmlPage(const nlohmann::json& results);

}  // namespace korvan
