#include "results/tables.h"

#include <charconv>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace korvan {

namespace {

// One CSV file being written, a field at a time.
class Csv {
 public:
  explicit Csv(std::initializer_list<const char*> header) {
    for (const char* name : header) Text(name);
    End();
  }
  explicit Csv(const std::vector<std::string>& header) {
    for (const std::string& name : header) Text(name);
    End();
  }
  Csv& Text(const char* text) { return Text(std::string(text)); }
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
  // A number in the shortest text that reads back as the same double,
  // empty where there is none.
  Csv& Real(double value) {
    Separate();
    if (HasValue(value)) {
      char text[32];
      out_.append(text, std::to_chars(text, text + sizeof text, value).ptr);
    }
    return *this;
  }
  Csv& Whole(std::int64_t value) {
    Separate();
    out_ += std::to_string(value);
    return *this;
  }
  Csv& Flag(bool value) {
    Separate();
    out_ += value ? "true" : "false";
    return *this;
  }
  Csv& Empty() {
    Separate();
    return *this;
  }
  Csv& Text(const std::optional<std::string>& text) { return text ? Text(*text) : Empty(); }
  Csv& End() {
    out_ += "\r\n";
    first_ = true;
    return *this;
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

std::string DesignTable(const Results& results) {
  const DesignResult& d = results.design;
  Csv csv({"item", "site", "code", "records"});
  csv.Text("records").Text("").Text("").Whole(d.records).End();
  csv.Text("recordsLeftOut").Text("").Text("").Whole(d.recordsLeftOut).End();
  csv.Text("cells").Text("").Text("").Whole(d.cells).End();
  for (const SiteResult& site : d.sites) {
    csv.Text("site").Text("").Text(site.code).Whole(site.records).End();
    for (const std::string& block : site.blocks) csv.Text("block").Text(site.code).Text(block).Text("").End();
  }
  for (const FamilyCount& family : d.families) csv.Text("family").Text("").Text(family.code).Whole(family.records).End();
  for (const std::string& trait : d.traits) csv.Text("trait").Text("").Text(trait).Text("").End();
  return csv.Take();
}

std::string AnovaTable(const Results& results) {
  Csv csv({"trait", "name", "source", "df", "ss", "ms", "ems", "F", "dfDenominator", "p", "reduction", "note"});
  for (const TraitResult& trait : results.traits)
    for (const AnovaLine& row : trait.anova) {
      csv.Whole(trait.index).Text(trait.name).Text(row.source).Real(row.df).Real(row.ss).Real(row.ms).Text(row.ems);
      csv.Real(row.f).Real(row.dfDenominator).Real(row.p).Text(row.reduction).Text(row.note).End();
    }
  return csv.Take();
}

// Why a quantity of a trait or pair is not given; empty when it is.
std::string ReasonWithheld(const std::vector<Withheld>& withheld, const char* quantity) {
  for (const Withheld& w : withheld)
    if (w.quantity == quantity) return w.reason;
  return "";
}

// flag, lower, upper, method, note of an estimate, after its estimate and
// se: empty fields where it is missing, with the reason in the note.
void EstimateRest(Csv& csv, const Estimated& e, const std::string& reason) {
  if (!e) {
    csv.Empty().Empty().Empty().Empty().Text(reason);
    return;
  }
  csv.Text(std::string(RangeFlagName(e->flag)));
  if (e->interval) csv.Real(e->interval->lower).Real(e->interval->upper).Text(e->interval->method);
  else csv.Empty().Empty().Empty();
  csv.Text(e->note);
}

std::string ComponentsTable(const Results& results) {
  Csv csv({"trait", "name", "quantity", "estimate", "se", "atOrBelowZero", "flag", "lower90", "upper90",
           "intervalMethod", "note"});
  for (const TraitResult& trait : results.traits) {
    csv.Whole(trait.index).Text(trait.name).Text("mean").Real(trait.mean);
    csv.Empty().Empty().Empty().Empty().Empty().Empty().Empty().End();
    csv.Whole(trait.index).Text(trait.name).Text("constantsMean").Real(trait.constantsMean);
    csv.Empty().Empty().Empty().Empty().Empty().Empty().Text("the mean of the family constants").End();
    auto row = [&](const char* name, const Estimated& e) {
      csv.Whole(trait.index).Text(trait.name).Text(name);
      if (!e) {
        csv.Empty().Empty().Empty();
      } else {
        csv.Real(e->estimate).Real(e->se);
        if (e->marksZero) csv.Flag(e->AtOrBelowZero());
        else csv.Empty();
      }
      EstimateRest(csv, e, ReasonWithheld(trait.withheld, name));
      csv.End();
    };
    row("Vf", trait.vf);
    row("Vsf", trait.vsf);
    row("Ve", trait.ve);
    row("h2", trait.h2);
    row("rB", trait.rB);
    row("h2Individual", trait.h2Individual);
  }
  return csv.Take();
}

std::string FamiliesTable(const Results& results) {
  Csv csv({"trait", "name", "family", "records", "constant", "deviation", "rank", "predictedEffect", "selected"});
  for (const TraitResult& trait : results.traits)
    for (const FamilyResult& f : trait.families) {
      csv.Whole(trait.index).Text(trait.name).Text(f.code).Whole(f.records).Real(f.constant).Real(f.deviation);
      csv.Whole(f.rank).Real(f.predictedEffect).Flag(f.selected).End();
    }
  return csv.Take();
}

// One row per family, the traits side by side: what a breeder pastes
// into a sheet to choose families on several traits at once.
std::string FamiliesWideTable(const Results& results) {
  std::vector<std::string> header = {"family", "records"};
  for (const TraitResult& trait : results.traits) {
    for (const char* what : {" constant", " rank", " predictedEffect", " selected"}) header.push_back(trait.name + what);
    if (results.reml)
      for (const char* what : {" blup", " blupRank", " selectedByBlup"}) header.push_back(trait.name + what);
  }
  Csv csv(header);
  for (std::size_t j = 0; j < results.design.families.size(); ++j) {
    csv.Text(results.design.families[j].code).Whole(results.design.families[j].records);
    for (std::size_t t = 0; t < results.traits.size(); ++t) {
      const FamilyResult& f = results.traits[t].families[j];
      csv.Real(f.constant).Whole(f.rank).Real(f.predictedEffect);
      if (HasValue(f.predictedEffect)) csv.Flag(f.selected);
      else csv.Empty();
      if (!results.reml) continue;
      const RemlFamilyResult& r = results.reml->traits[t].families[j];
      csv.Real(r.blup);
      if (r.rank > 0) csv.Whole(r.rank).Flag(r.selected);
      else csv.Empty().Empty();
    }
    csv.End();
  }
  return csv.Take();
}

// The raw means of the site x family cells as a breeder lays them out: a
// family a row, a site a column, the counts first, then each trait's means;
// empty where the family has no trees at the site.
std::string SiteFamilyMeansTable(const Results& results) {
  const DesignResult& d = results.design;
  std::vector<std::string> header = {"family"};
  for (const SiteResult& site : d.sites) header.push_back("records " + site.code);
  for (const TraitResult& trait : results.traits)
    for (const SiteResult& site : d.sites) header.push_back(trait.name + " " + site.code);
  Csv csv(header);
  const std::size_t nSite = d.sites.size(), nFamily = d.families.size();
  std::vector<std::int64_t> cell(nFamily * nSite, -1);  // the cell of each family and site, or none
  for (std::size_t c = 0; c < d.cellSite.size(); ++c)
    cell[static_cast<std::size_t>(d.cellFamily[c]) * nSite + static_cast<std::size_t>(d.cellSite[c])] =
        static_cast<std::int64_t>(c);
  for (std::size_t j = 0; j < nFamily; ++j) {
    csv.Text(d.families[j].code);
    for (std::size_t i = 0; i < nSite; ++i) {
      const std::int64_t c = cell[j * nSite + i];
      if (c < 0) csv.Whole(0);
      else csv.Whole(d.cellRecords[static_cast<std::size_t>(c)]);
    }
    for (const TraitResult& trait : results.traits)
      for (std::size_t i = 0; i < nSite; ++i) {
        const std::int64_t c = cell[j * nSite + i];
        csv.Real(c < 0 ? kNoValue : trait.siteFamilyMeans[static_cast<std::size_t>(c)]);
      }
    csv.End();
  }
  return csv.Take();
}

std::string PairsTable(const Results& results) {
  Csv csv({"trait1", "trait2", "name1", "name2", "source", "df", "scp", "mcp"});
  for (const PairResult& pair : results.pairs)
    for (const AncovaLine& row : pair.ancova) {
      csv.Whole(pair.trait1).Whole(pair.trait2).Text(pair.name1).Text(pair.name2);
      csv.Text(row.source).Real(row.df).Real(row.scp).Real(row.mcp).End();
    }
  return csv.Take();
}

std::string CorrelationsTable(const Results& results) {
  std::vector<std::string> header = {"trait1", "trait2", "name1", "name2", "covF", "covSF", "covE",
                                     "rP", "rPse", "rF", "rFse"};
  for (const char* r : {"rP", "rPTree", "rF"})
    for (const char* what : {"", "se", "flag", "lower90", "upper90", "intervalMethod", "note"})
      if (std::string(r) == "rPTree" || (std::string(what) != "" && std::string(what) != "se"))
        header.push_back(std::string(r) + what);
  Csv csv(header);
  auto estimate = [&csv](const Estimated& e) {
    if (e) csv.Real(e->estimate).Real(e->se);
    else csv.Empty().Empty();
  };
  auto rest = [&csv](const Estimated& e, const std::string& reason) { EstimateRest(csv, e, reason); };
  for (const PairResult& pair : results.pairs) {
    csv.Whole(pair.trait1).Whole(pair.trait2).Text(pair.name1).Text(pair.name2);
    csv.Real(pair.covF).Real(pair.covSF).Real(pair.covE);
    estimate(pair.rP);
    estimate(pair.rF);
    rest(pair.rP, ReasonWithheld(pair.withheld, "rP"));
    estimate(pair.rPTree);
    rest(pair.rPTree, ReasonWithheld(pair.withheld, "rPTree"));
    rest(pair.rF, ReasonWithheld(pair.withheld, "rF"));
    csv.End();
  }
  return csv.Take();
}

// Every value not given, with why: one place to look.
std::string WithheldTable(const Results& results) {
  Csv csv({"trait1", "trait2", "name1", "name2", "quantity", "reason"});
  for (const TraitResult& trait : results.traits)
    for (const Withheld& w : trait.withheld)
      csv.Whole(trait.index).Empty().Text(trait.name).Empty().Text(w.quantity).Text(w.reason).End();
  for (const PairResult& pair : results.pairs)
    for (const Withheld& w : pair.withheld)
      csv.Whole(pair.trait1).Whole(pair.trait2).Text(pair.name1).Text(pair.name2).Text(w.quantity).Text(w.reason).End();
  return csv.Take();
}

// REML's components, ratios and tests per trait, in the layout of
// components.csv; a fit that is not estimable keeps its rows, empty, with
// the reason.
std::string RemlComponentsTable(const Results& results) {
  Csv csv({"trait", "name", "quantity", "estimate", "se", "atBoundary", "p", "status", "iterations", "trees", "note"});
  for (const RemlTraitResult& trait : results.reml->traits) {
    auto row = [&](const char* quantity, double estimate, double se, std::optional<bool> boundary, double p,
                   const std::string& note) {
      csv.Whole(trait.index).Text(trait.name).Text(quantity).Real(estimate).Real(se);
      if (boundary) csv.Flag(*boundary);
      else csv.Empty();
      csv.Real(p).Text(trait.status).Whole(trait.iterations).Whole(trait.trees).Text(note).End();
    };
    auto estimate = [&](const char* quantity, const Estimated& e, bool component) {
      std::optional<bool> boundary;
      if (component && e) boundary = !e->note.empty();
      row(quantity, e ? e->estimate : kNoValue, e ? e->se : kNoValue, boundary, kNoValue, e ? e->note : trait.note);
    };
    estimate("Vf", trait.vf, true);
    estimate("Vsf", trait.vsf, true);
    estimate("Ve", trait.ve, true);
    estimate("h2", trait.h2, false);
    estimate("rB", trait.rB, false);
    estimate("h2Individual", trait.h2Tree, false);
    row("logLikelihood", trait.logLikelihood, kNoValue, std::nullopt, kNoValue, "");
    row("lrtVf", trait.lrtVf, kNoValue, std::nullopt, trait.pVf, "twice the log-likelihood lost without Vf");
    row("lrtVsf", trait.lrtVsf, kNoValue, std::nullopt, trait.pVsf, "twice the log-likelihood lost without Vsf");
  }
  return csv.Take();
}

// BLUP of every family beside its place by the family constants.
std::string RemlFamiliesTable(const Results& results) {
  Csv csv({"trait", "name", "family", "blup", "pev", "accuracy", "blupRank", "selectedByBlup", "constantRank",
           "selectedByConstants"});
  for (std::size_t t = 0; t < results.reml->traits.size(); ++t) {
    const RemlTraitResult& trait = results.reml->traits[t];
    const TraitResult& anova = results.traits[t];
    for (std::size_t j = 0; j < trait.families.size(); ++j) {
      const RemlFamilyResult& f = trait.families[j];
      csv.Whole(trait.index).Text(trait.name).Text(f.code).Real(f.blup).Real(f.pev).Real(f.accuracy);
      if (f.rank > 0) csv.Whole(f.rank);
      else csv.Empty();
      csv.Flag(f.selected);
      if (j < anova.families.size()) csv.Whole(anova.families[j].rank).Flag(anova.families[j].selected);
      else csv.Empty().Empty();
      csv.End();
    }
  }
  return csv.Take();
}

// The site x family effects of every trait, where the term is fitted.
std::string RemlCellsTable(const Results& results) {
  Csv csv({"trait", "name", "site", "family", "blup", "pev"});
  for (const RemlTraitResult& trait : results.reml->traits)
    for (std::size_t c = 0; c < trait.cells.blup.size(); ++c)
      csv.Whole(trait.index).Text(trait.name).Text(trait.cells.site[c]).Text(trait.cells.family[c])
          .Real(trait.cells.blup[c]).Real(trait.cells.pev[c]).End();
  return csv.Take();
}

// Bivariate REML of each pair fitted: the three matrices, rF and the
// single-tree phenotypic correlation.
std::string RemlPairsTable(const Results& results) {
  Csv csv({"trait1", "trait2", "name1", "name2", "quantity", "estimate", "se", "atBoundary", "status", "iterations",
           "trees", "treesBoth", "note"});
  for (const RemlPairResult& pair : results.reml->pairs) {
    auto row = [&](const char* quantity, const Estimated& e, std::optional<bool> boundary, const std::string& note) {
      csv.Whole(pair.trait1).Whole(pair.trait2).Text(pair.name1).Text(pair.name2).Text(quantity);
      csv.Real(e ? e->estimate : kNoValue).Real(e ? e->se : kNoValue);
      if (boundary) csv.Flag(*boundary);
      else csv.Empty();
      csv.Text(pair.status).Whole(pair.iterations).Whole(pair.trees).Whole(pair.treesBoth).Text(note).End();
    };
    const std::pair<const char*, const RemlMatrix*> matrices[] = {
        {"family", &pair.family}, {"siteFamily", &pair.cell}, {"error", &pair.error}};
    for (const auto& [name, m] : matrices) {
      row((std::string(name) + " v11").c_str(), m->v11, m->atBoundary, m->note);
      row((std::string(name) + " v12").c_str(), m->v12, m->atBoundary, m->note);
      row((std::string(name) + " v22").c_str(), m->v22, m->atBoundary, m->note);
    }
    row("rF", pair.rF, std::nullopt, pair.rF ? pair.rF->note : pair.note);
    row("rPTree", pair.rPTree, std::nullopt, pair.rPTree ? pair.rPTree->note : pair.note);
  }
  return csv.Take();
}

}  // namespace

std::vector<std::string> ResultsTableNames(bool reml) {
  std::vector<std::string> names = ResultsTableNames();
  if (reml) names.insert(names.end(), {"reml-components.csv", "reml-families.csv", "reml-cells.csv", "reml-pairs.csv"});
  return names;
}

std::vector<std::string> ResultsTableNames() {
  return {"design.csv",       "anova.csv",        "components.csv", "families.csv",         "families-wide.csv",
          "site-family-means.csv", "pairs.csv", "correlations.csv", "withheld.csv"};
}

std::vector<CsvTable> ResultsTables(const Results& results) {
  std::string (*const make[])(const Results&) = {DesignTable,       AnovaTable,           ComponentsTable,
                                                 FamiliesTable,     FamiliesWideTable,    SiteFamilyMeansTable,
                                                 PairsTable,        CorrelationsTable,    WithheldTable};
  std::vector<CsvTable> tables;
  const std::vector<std::string> names = ResultsTableNames();
  for (std::size_t i = 0; i < names.size(); ++i) tables.push_back({names[i], make[i](results)});
  if (results.reml) {
    tables.push_back({"reml-components.csv", RemlComponentsTable(results)});
    tables.push_back({"reml-families.csv", RemlFamiliesTable(results)});
    tables.push_back({"reml-cells.csv", RemlCellsTable(results)});
    tables.push_back({"reml-pairs.csv", RemlPairsTable(results)});
  }
  return tables;
}

}  // namespace korvan
