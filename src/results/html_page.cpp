#include "results/html_page.h"

namespace korvan {

namespace {

std::string Escaped(const std::string& text) {
  std::string out;
  for (const char ch : text) {
    switch (ch) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += ch;
    }
  }
  return out;
}

}  // namespace

// The design summary alone; the full page takes its place.
std::string HtmlPage(const nlohmann::json& results) {
  const nlohmann::json& d = results["design"];
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>korvan results</title>"
      "<style>body{font-family:sans-serif;margin:2em}td,th{padding:0 1em;text-align:left}</style></head><body>\n";
  page += "<h1>" + Escaped(results["input"]["data"].get<std::string>()) + "</h1>\n<table>\n";
  page += "<tr><th>records</th><td>" + d["records"].dump() + "</td></tr>\n";
  page += "<tr><th>records left out</th><td>" + d["recordsLeftOut"].dump() + "</td></tr>\n";
  page += "<tr><th>sites</th><td>" + std::to_string(d["sites"].size()) + "</td></tr>\n";
  page += "<tr><th>families</th><td>" + std::to_string(d["families"].size()) + "</td></tr>\n";
  page += "<tr><th>site x family cells</th><td>" + d["cells"].dump() + "</td></tr>\n";
  page += "<tr><th>traits</th><td>" + std::to_string(d["traits"].size()) + "</td></tr>\n";
  page += "</table>\n</body></html>\n";
  return page;
}

}  // namespace korvan
