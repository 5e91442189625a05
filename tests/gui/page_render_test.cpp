// The results page as a browser draws it: headless Chromium renders the
// page of a real run, and the picture must show the page, not a blank or an
// error screen.

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

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

}  // namespace
}  // namespace korvan
