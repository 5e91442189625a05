// The results page as a browser draws it: headless Chromium renders the
// page of a real run, and the picture must show the page, not a blank or an
// error screen.

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "support/test_support.h"

namespace korvan {
namespace {

std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::filesystem::path candidate = std::filesystem::path(folder) / program;
    if (std::filesystem::exists(candidate)) return candidate.string();
  }
  return {};
}

TEST(ResultsPage, ChromiumDrawsTheMaizePage) {
  const std::string chromium = FindOnPath("chromium");
  if (chromium.empty()) GTEST_SKIP() << "chromium is not installed (Debian package chromium): the page is not drawn";
  test::TempDir dir;
  const test::CliResult run =
      test::RunCli({"--data", test::SourcePath("examples/maize2010_6traits.csv"), "--output", dir / "maize.out",
                    "--quiet", "--site-column", "site", "--block-column", "rep", "--family-column", "hybrid",
                    "--trait-columns", "5-10", "--html", dir / "maize.html"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const test::CliResult shot = test::RunProgram(
      chromium, {"--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--force-device-scale-factor=1",
                 "--screenshot=" + dir / "maize.png", "--window-size=1000,1600", "file://" + dir / "maize.html"});
  ASSERT_EQ(shot.exitCode, 0) << shot.err;
  const QImage image(QString::fromStdString(dir / "maize.png"));
  ASSERT_EQ(image.size(), QSize(1000, 1600));
  // Text, tables, the heat maps' colours: a drawn page has many colours and
  // ink on a good part of it; a blank or a one-line error page has neither.
  std::set<QRgb> colours;
  long inked = 0;
  for (int y = 0; y < image.height(); y += 2)
    for (int x = 0; x < image.width(); x += 2) {
      const QRgb pixel = image.pixel(x, y);
      colours.insert(pixel);
      inked += QColor(pixel).lightness() < 200;
    }
  EXPECT_GT(colours.size(), 100u);
  EXPECT_GT(inked, image.width() * image.height() / 4 / 50) << "under 2 % of the page is drawn";
}

// What a browser made of a page with a probe appended: the probe writes its
// findings into the title, which --dump-dom prints once scripts have run.
std::string Probe(const std::string& chromium, const std::string& page, const std::string& script, int width) {
  test::TempDir dir;
  const std::string probed = dir / "probed.html";
  std::string text = test::ReadFile(page);
  text.insert(text.rfind("</body>"), "<script>" + script + "</script>");
  test::WriteFile(probed, text);
  const test::CliResult dom =
      test::RunProgram(chromium, {"--headless", "--no-sandbox", "--disable-gpu", "--window-size=" + std::to_string(width) + ",900",
                                  "--dump-dom", "file://" + probed});
  EXPECT_EQ(dom.exitCode, 0) << dom.err;
  const std::size_t start = dom.out.find("<title>"), end = dom.out.find("</title>");
  if (start == std::string::npos || end == std::string::npos) return "";
  return dom.out.substr(start + 7, end - start - 7);
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A sheet of sites x blocks x families x trees with `traits` traits: the
// first varies only by site and block, the others with families and noise.
std::string GeneratedSheet(int traits, int families) {
  std::string sheet = "site,block,family,flat";
  for (int t = 2; t <= traits; ++t) sheet += ",t" + std::to_string(t);
  sheet += "\n";
  std::mt19937 rng(11);
  std::normal_distribution<double> noise(0, 1);
  for (int s = 1; s <= 3; ++s)
    for (int b = 1; b <= 3; ++b)
      for (int f = 1; f <= families; ++f)
        for (int tree = 0; tree < 2; ++tree) {
          sheet += "S" + std::to_string(s) + "," + std::to_string(b) + ",F" + std::to_string(f) + "," +
                   std::to_string(10 * s + b);
          for (int t = 2; t <= traits; ++t) sheet += "," + std::to_string(50 + 0.3 * f * (t % 3) + noise(rng));
          sheet += "\n";
        }
  return sheet;
}

// Every estimate of the document that carries a flag, by its flag's name.
void Flags(const nlohmann::json& value, std::multiset<std::string>& out) {
  if (value.is_object() && value.contains("flag") && value["flag"].is_string()) out.insert(value["flag"]);
  if (value.is_structured())
    for (const auto& item : value) Flags(item, out);
}

// As the browser parses it, at a phone's width and a desktop's: every
// drawing keeps all its elements (an HTML element inside an SVG text ends
// the drawing there and spills the rest as page text), the page never
// scrolls sideways (wide tables scroll in their own boxes), no NaN or inf
// reaches the text, no number with an exponent may break at a line's end,
// and every flag of the document stands on the page. "open all" opens every
// section of a trial with more traits than start open. Pages: maize, a
// trial of 12 traits with one that varies only by site and block and
// others with impossible ratios, one of 100 traits.
TEST(ResultsPage, ChromiumKeepsTheDrawingsWholeAndFitsAPhone) {
  const std::string chromium = FindOnPath("chromium");
  if (chromium.empty()) GTEST_SKIP() << "chromium is not installed (Debian package chromium): the page is not drawn";
  test::TempDir dir;
  test::WriteFile(dir / "twelve.csv", GeneratedSheet(12, 12));
  test::WriteFile(dir / "hundred.csv", GeneratedSheet(100, 8));
  const std::vector<std::vector<std::string>> runs = {
      {"maize", test::SourcePath("examples/maize2010_6traits.csv"), "--site-column", "site", "--block-column", "rep",
       "--family-column", "hybrid", "--trait-columns", "5-10"},
      {"twelve", dir / "twelve.csv", "--site-column", "site", "--block-column", "block", "--family-column", "family",
       "--trait-columns", "4-15"},
      {"hundred", dir / "hundred.csv", "--site-column", "site", "--block-column", "block", "--family-column",
       "family", "--trait-columns", "4-103"}};
  for (const std::vector<std::string>& trial : runs) {
    SCOPED_TRACE(trial[0]);
    const std::string html = dir / (trial[0] + ".html"), json = dir / (trial[0] + ".json");
    std::vector<std::string> args = {"--data", trial[1], "--output", dir / (trial[0] + ".out"), "--quiet",
                                     "--html", html, "--json", json, "--reml"};
    args.insert(args.end(), trial.begin() + 2, trial.end());
    const test::CliResult run = test::RunCli(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string page = test::ReadFile(html);
    std::multiset<std::string> flags;
    Flags(nlohmann::json::parse(test::ReadFile(json)), flags);
    for (const std::string& flag : flags) EXPECT_NE(page.find("(" + flag + ")"), std::string::npos) << flag;
    for (const int width : {390, 1400}) {
      SCOPED_TRACE(width);
      const std::string found = Probe(
          chromium, html,
          "var text=document.body.innerText;var bare=0;"
          "var walk=document.createTreeWalker(document.body,NodeFilter.SHOW_TEXT);"
          "while(walk.nextNode()){var n=walk.currentNode;if(!/[0-9]e[-+][0-9]/.test(n.nodeValue))continue;"
          "var e=n.parentElement;if(e.closest('svg,script,style'))continue;"
          "if(getComputedStyle(e).whiteSpace!=='nowrap')bare++;}"
          "document.title=[document.querySelectorAll('svg text').length,document.querySelectorAll('svg rect').length,"
          "document.querySelectorAll('svg path').length,document.documentElement.scrollWidth<=window.innerWidth,"
          "/NaN|Infinity|\\binf\\b/.test(text),bare].join(' ');",
          width);
      EXPECT_EQ(found, std::to_string(Count(page, "<text")) + " " + std::to_string(Count(page, "<rect")) + " " +
                           std::to_string(Count(page, "<path")) + " true false 0");
    }
  }
  const std::string page = test::ReadFile(dir / "twelve.html");
  EXPECT_EQ(Probe(chromium, dir / "twelve.html",
                  "var d=document.querySelectorAll('details');var before=0,after=0;"
                  "d.forEach(function(x){before+=x.open;});korvanOpen(true);"
                  "d.forEach(function(x){after+=x.open;});document.title=before+' '+after+' '+d.length;",
                  1280),
            "0 " + std::to_string(Count(page, "<details")) + " " + std::to_string(Count(page, "<details")));
}

}  // namespace
}  // namespace korvan
