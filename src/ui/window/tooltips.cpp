#include "ui/window/tooltips.h"

#include <QEvent>
#include <QHelpEvent>
#include <QAbstractScrollArea>
#include <QLineEdit>
#include <QStyle>
#include <QToolTip>
#include <QWidget>

namespace korvan {

namespace {

// By object name. A label shares the explanation of the box it names.
struct Help {
  const char* control;
  const char* label;  // nullptr when no label names the control
  const char* text;
};

const Help kHelp[] = {
    {"Command1", nullptr,
     "Start: runs the analysis with the parameters in the boxes and writes the report to the output file.\n"
     "Example: the maize sheet of the examples, with its columns site, rep, hybrid and 5 traits from column 5.\n"
     "Batch program: korvan-cli --data FILE --output FILE ..."},
    {"Command2", nullptr,
     "End: ends the program; during a run it first stops the run, which then writes no report.\n"
     "Example: a run started on the wrong file.\n"
     "Batch program: Ctrl-C (exit status 130)"},
    {"Command3", nullptr,
     "Opens \"Procedure of the calculation\": the lines the calculation writes as it goes.\n"
     "Example: the record lines, then the listings of the model columns.\n"
     "Batch program: --procedure FILE"},
    {"Text8", "Label10",
     "No. of Sites: the largest number of test sites the data may hold; empty: the data decide.\n"
     "Example: 10\nBatch program: --sites 10"},
    {"Text1", "Label1",
     "No. of Blocks: the largest number of blocks at any one site; empty: the data decide.\n"
     "Example: 4\nBatch program: --blocks 4"},
    {"Text2", "Label2",
     "No. of Families: the largest number of families the data may hold; empty: the data decide.\n"
     "Example: 93\nBatch program: --families 93"},
    {"Text3", "Label3",
     "No. of Records: the largest number of records (trees) of the selected age; empty: the data decide.\n"
     "Example: 1765\nBatch program: --records 1765"},
    {"Text5", "Label6",
     "age: the age whose records are analysed; the others are passed over.\n"
     "Example: 10\nBatch program: --age 10"},
    {"Text6", "Label7",
     "No. of Traits: the trait fields of each record (of a delimited file: the trait columns from the one named).\n"
     "Example: 6\nBatch program: --traits 6"},
    {"Text4", nullptr,
     "Site field: its first character, counted from 1 (a delimited file: the site column, by name or number).\n"
     "Example: 1 (or site)\nBatch program: --site-col 1,4 (or --site-column site)"},
    {"Text9", nullptr,
     "Block field: its first character, counted from 1 (a delimited file: the block column).\n"
     "Example: 5 (or rep)\nBatch program: --block-col 5,4 (or --block-column rep)"},
    {"Text10", nullptr,
     "Family field: its first character, counted from 1 (a delimited file: the family column).\n"
     "Example: 9 (or hybrid)\nBatch program: --family-col 9,6 (or --family-column hybrid)"},
    {"Text11", nullptr,
     "Age field: its first character, counted from 1 (a delimited file: the age column).\n"
     "Example: 15 (or age)\nBatch program: --age-col 15,4 (or --age-column age)"},
    {"Text12", nullptr,
     "First trait field: its first character, counted from 1; the other traits follow it, each as wide.\n"
     "Example: 19 (or 5)\nBatch program: --trait-col 19,10 (or --trait-columns 5)"},
    {"Text13", nullptr, "Site field: its width in characters.\nExample: 4\nBatch program: --site-col 1,4"},
    {"Text14", nullptr, "Block field: its width in characters.\nExample: 4\nBatch program: --block-col 5,4"},
    {"Text15", nullptr, "Family field: its width in characters.\nExample: 6\nBatch program: --family-col 9,6"},
    {"Text16", nullptr, "Age field: its width in characters.\nExample: 4\nBatch program: --age-col 15,4"},
    {"Text17", nullptr,
     "Width of each trait field in characters.\nExample: 10\nBatch program: --trait-col 19,10"},
    {"Drive1", "Label4",
     "The drive of the data file.\nExample: C:\\ (on Linux: /)\nBatch program: --data FILE"},
    {"Dir1", nullptr,
     "The folder of the data file: double-click a folder to enter it, \"..\" to go up.\n"
     "Example: trials\nBatch program: --data FILE"},
    {"File1", nullptr,
     "The data file: a fixed-column text file, or a sheet saved as CSV (.csv, .tsv, .tab).\n"
     "Example: maize2010_6traits.csv\nBatch program: --data FILE"},
    {"Drive2", "Label8",
     "The drive of the report.\nExample: C:\\ (on Linux: /)\nBatch program: --output FILE"},
    {"Dir2", nullptr,
     "The folder of the report: double-click a folder to enter it, \"..\" to go up.\n"
     "Example: results\nBatch program: --output FILE"},
    {"Text7", "Label9",
     "Output file: the report's name, used exactly as typed; an earlier report of that name is replaced "
     "only when the run succeeds.\nExample: maize.out\nBatch program: --output maize.out"},
    {"exactArithmeticBox", nullptr,
     "exact: the report in the same layout with every value computed exactly, in double precision, instead of "
     "the method's single precision (also on the Start button's right-click menu).\n"
     "Example: a trait whose mean is large against its spread, or a run that warned about precision.\n"
     "Batch program: --arithmetic double"},
    {"resultsBox", nullptr,
     "tables and page: also writes the results for R and spreadsheets and a page to look at, beside the "
     "report and named after it: maize.json, the CSV tables in maize-tables, and maize.html.\n"
     "Right-click for REML and BLUP beside the analysis of variance in those results, each trait on every tree "
     "that has its value.\n"
     "Example: report maize.out gives maize.json, maize-tables/ and maize.html\n"
     "Batch program: --json maize.json --tables maize-tables --html maize.html (and --reml)"},
};

const Help* HelpFor(const QWidget& control) {
  const QString name = control.objectName();
  for (const Help& help : kHelp)
    if (name == QLatin1String(help.control) || (help.label != nullptr && name == QLatin1String(help.label)))
      return &help;
  return nullptr;
}

bool TooNarrow(const QLineEdit& box) {
  // The frame and the text margins take their share of the box.
  const int room = box.contentsRect().width() - 2 * box.style()->pixelMetric(QStyle::PM_DefaultFrameWidth) - 4;
  return box.fontMetrics().horizontalAdvance(box.text()) > room;
}

// Shows the composed tooltip in place of the widget's own, and draws a box
// from its start while the user is not typing in it.
class ToolTipShower : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* control = static_cast<QWidget*>(watched);
    // A list is hovered in its viewport, which has no explanation of its own.
    if (HelpFor(*control) == nullptr && control->parentWidget() != nullptr) control = control->parentWidget();
    if (event->type() == QEvent::ToolTip) {
      const QString text = ToolTipText(*control);
      if (text.isEmpty()) QToolTip::hideText();
      else QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text, control);
      return true;
    }
    // Whatever set its text, a box the user is not typing in is drawn from
    // its start: setText() leaves the cursor after the last character,
    // which scrolls a long number to its end (4000000 shows as 00000).
    if (event->type() == QEvent::Paint)
      if (auto* box = qobject_cast<QLineEdit*>(control); box != nullptr && !box->hasFocus())
        box->setCursorPosition(0);
    return false;
  }
};

}  // namespace

void AddToolTips(QWidget& window) {
  auto* shower = new ToolTipShower(&window);
  for (QWidget* control : window.findChildren<QWidget*>()) {
    if (HelpFor(*control) == nullptr) continue;
    control->installEventFilter(shower);
    if (auto* list = qobject_cast<QAbstractScrollArea*>(control)) list->viewport()->installEventFilter(shower);
  }
}

QString ToolTipText(const QWidget& control) {
  QStringList parts;
  if (const auto* box = qobject_cast<const QLineEdit*>(&control); box != nullptr && TooNarrow(*box))
    parts << box->text();
  if (!control.toolTip().isEmpty()) parts << control.toolTip();
  if (const Help* help = HelpFor(control)) parts << QString::fromUtf8(help->text);
  return parts.join(QStringLiteral("\n\n"));
}

}  // namespace korvan
