#include "Help.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScreen>

namespace {
constexpr QSize kMemoSize{500, 425};
constexpr int kMemoPixelSize = 10;
// Where the meanings begin: past the longest number and command, with a gap of blanks.
constexpr int kMeaningColumn = 22;
const QString kContinuationIndent = QStringLiteral("     ");

struct Entry {
  const char* number;  // empty on the continuation lines of an entry
  const char* command;
  const char* meaning;
};

// Entries 1 to 9 put one blank between the number and the command, 10 to 14 none.
constexpr Entry kEntries[] = {
    {"1. ", "/*Type;", "Check the type of switcher"},
    {"2. ", "xAll.", "Switch input x to all output"},
    {"3. ", "1,2,3,4#.", "Switch input 1,2,3,4 to output 1,2,3,4"},
    {"4. ", "All#.", "Switch all input to all output"},
    {"5. ", "1,2,3,4$.", "Close output 1,2,3,4"},
    {"6. ", "All$.", "Close all output"},
    {"7. ", "Undo.", "Cancel current instruction"},
    {"8. ", "Savex.", "Save to group x"},
    {"9. ", "Recallx.", "Recall from group x"},
    {"10.", "Statusx.", "Query current status of output x"},
    {"11.", "Status.", "Query current status of all output"},
    {"12.", "1V2,3,4.", "Switch input 1 to output 2,3,4 (Video)"},
    {"", "10A20,30,40.", "Switch input 10 to output 20,30,40 (Audio)"},
    {"", "100B110,120,130.", "Switch input 100 to output 110,120,130 (Video and Audio)"},
    {"13.", "Clearx.", "Clear the content of group x (x from 0 to 9)"},
    {"14.", "/^Version;", "Query the version"},
};
}  // namespace

QStringList TForm4::HelpLines() {
  QStringList lines{QStringLiteral("\tSwitcher Code System (Ver VANTREL 2.0)"), QString()};
  const int count = int(std::size(kEntries));
  for (int i = 0; i < count; ++i) {
    const Entry& e = kEntries[i];
    const QString head = (*e.number ? QString::fromLatin1(e.number) : kContinuationIndent) +
                         QString::fromLatin1(e.command);
    lines << head.leftJustified(kMeaningColumn) + QString::fromLatin1(e.meaning);
    // An empty line after each entry, after its continuation lines.
    const bool continues = i + 1 < count && !*kEntries[i + 1].number;
    if (!continues) lines << QString();
  }
  return lines;
}

TForm4::TForm4(QWidget* owner) : QWidget(owner, Qt::Window) {
  setObjectName("Form4");
  setWindowTitle("Help");
  setFixedSize(kMemoSize);
  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName("Memo1");
  Memo1->setGeometry(QRect(QPoint(0, 0), kMemoSize));
  Memo1->setReadOnly(true);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  // Blanks line the columns up only where every character is as wide as a blank.
  QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  fixed.setPixelSize(kMemoPixelSize);
  Memo1->setFont(fixed);
  Memo1->setPlainText(HelpLines().join(QLatin1Char('\n')));
  Memo1->setAccessibleName("Command help");
}

void TForm4::showEvent(QShowEvent* e) {
  // Centred when it first appears; afterwards it stays where the operator puts it.
  if (!Placed) {
    Placed = true;
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect area = screen->availableGeometry();
      move(area.center() - QPoint(width() / 2, height() / 2));
    }
  }
  QWidget::showEvent(e);
}
