#include "results/tables.h"

#include <charconv>
#include <initializer_list>

namespace korvan {

namespace {

using nlohmann::json;

// One CSV file being written, a field at a time.
class Csv {
 public:
  explicit Csv(std::initializer_list<const char*> header) {
    for (const char* name : header) Text(name);
    End();
  }
  Csv& Text(const std::string& text) {
    Separate();
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
      out_ += text;
      return *this;
    }
    out_ += '"';
    for (const char ch : text) {
      if (ch == '"') out_ += '"';
      out_ += ch;
    }
    out_ += '"';
    return *this;
  }
  // A value of the document as it stands: a number in the shortest text
  // that reads back as the same double, true/false, a name, or empty for null.
  Csv& Value(const json& value) {
    if (value.is_string()) return Text(value.get<std::string>());
    Separate();
    if (value.is_boolean()) out_ += value.get<bool>() ? "true" : "false";
    else if (value.is_number_integer()) out_ += std::to_string(value.get<std::int64_t>());
    else if (value.is_number()) {
      char text[32];
      out_.append(text, std::to_chars(text, text + sizeof text, value.get<double>()).ptr);
    }
    return *this;
  }
  Csv& Value(const json& object, const char* key) {
    return Value(object.is_object() && object.contains(key) ? object[key] : json(nullptr));
  }
  void End() {
    out_ += "\r\n";
    first_ = true;
  }
  std::string Take() { return std::move(out_); }

 private:
  void Separate() {
    if (!first_) out_ += ',';
    first_ = false;
  }
  std::string out_;
  bool first_ = true;
};

std::string DesignTable(const json& doc) {
  const json& d = doc["design"];
  Csv csv({"item", "site", "code", "records"});
  for (const char* item : {"records", "recordsLeftOut", "cells"}) {
    csv.Text(item).Text("").Text("").Value(d[item]);
    csv.End();
  }
  for (const json& site : d["sites"]) {
    csv.Text("site").Text("").Value(site["code"]).Value(site["records"]);
    csv.End();
    for (const json& block : site["blocks"]) {
      csv.Text("block").Value(site["code"]).Value(block).Text("");
      csv.End();
    }
  }
  for (const json& family : d["families"]) {
    csv.Text("family").Text("").Value(family["code"]).Value(family["records"]);
    csv.End();
  }
  for (const json& trait : d["traits"]) {
    csv.Text("trait").Text("").Value(trait).Text("");
    csv.End();
  }
  return csv.Take();
}

std::string AnovaTable(const json& doc) {
  Csv csv({"trait", "name", "source", "df", "ss", "ms", "ems", "F", "dfDenominator", "p"});
  for (const json& trait : doc["traits"])
    for (const json& row : trait["anova"]) {
      csv.Value(trait["index"]).Value(trait["name"]);
      for (const char* key : {"source", "df", "ss", "ms", "ems", "F", "dfDenominator", "p"}) csv.Value(row[key]);
      csv.End();
    }
  return csv.Take();
}

std::string ComponentsTable(const json& doc) {
  Csv csv({"trait", "name", "quantity", "estimate", "se", "atOrBelowZero"});
  for (const json& trait : doc["traits"]) {
    csv.Value(trait["index"]).Value(trait["name"]).Text("mean").Value(trait["mean"]).Text("").Text("");
    csv.End();
    auto row = [&](const char* name, const json& e) {
      if (e.is_null()) return;
      csv.Value(trait["index"]).Value(trait["name"]).Text(name).Value(e, "estimate").Value(e, "se").Value(e, "atOrBelowZero");
      csv.End();
    };
    for (const char* name : {"Vf", "Vsf", "Ve"}) row(name, trait["components"][name]);
    for (const char* name : {"h2", "rB", "h2Individual"}) row(name, trait[name]);
  }
  return csv.Take();
}

std::string FamiliesTable(const json& doc) {
  Csv csv({"trait", "name", "family", "records", "constant", "deviation", "rank", "predictedEffect", "selected"});
  for (const json& trait : doc["traits"])
    for (const json& family : trait["families"]) {
      csv.Value(trait["index"]).Value(trait["name"]);
      for (const char* key : {"code", "records", "constant", "deviation", "rank", "predictedEffect", "selected"})
        csv.Value(family[key]);
      csv.End();
    }
  return csv.Take();
}

std::string PairsTable(const json& doc) {
  Csv csv({"trait1", "trait2", "name1", "name2", "source", "df", "scp", "mcp"});
  for (const json& pair : doc["pairs"])
    for (const json& row : pair["ancova"]) {
      csv.Value(pair["traits"][0]).Value(pair["traits"][1]).Value(pair["names"][0]).Value(pair["names"][1]);
      for (const char* key : {"source", "df", "scp", "mcp"}) csv.Value(row[key]);
      csv.End();
    }
  return csv.Take();
}

std::string CorrelationsTable(const json& doc) {
  Csv csv({"trait1", "trait2", "name1", "name2", "covF", "covSF", "covE", "rP", "rPse", "rF", "rFse"});
  for (const json& pair : doc["pairs"]) {
    csv.Value(pair["traits"][0]).Value(pair["traits"][1]).Value(pair["names"][0]).Value(pair["names"][1]);
    for (const char* key : {"covF", "covSF", "covE"}) csv.Value(pair["components"][key]);
    csv.Value(pair["rP"], "estimate").Value(pair["rP"], "se").Value(pair["rF"], "estimate").Value(pair["rF"], "se");
    csv.End();
  }
  return csv.Take();
}

}  // namespace

std::vector<std::string> ResultsTableNames() {
  return {"design.csv", "anova.csv", "components.csv", "families.csv", "pairs.csv", "correlations.csv"};
}

std::vector<CsvTable> ResultsTables(const nlohmann::json& results) {
  std::string (*const make[])(const json&) = {DesignTable, AnovaTable, ComponentsTable,
                                              FamiliesTable, PairsTable, CorrelationsTable};
  std::vector<CsvTable> tables;
  const std::vector<std::string> names = ResultsTableNames();
  for (std::size_t i = 0; i < names.size(); ++i) tables.push_back({names[i], make[i](results)});
  return tables;
}

}  // namespace korvan
