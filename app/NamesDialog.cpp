#include "NamesDialog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>

#include "Prompts.h"
#include "Widgets.h"

namespace {

constexpr qint64 kMaxCsvBytes = 1 << 20;  // far above 512 names; a bigger file is not ours
constexpr int kMaxSkippedShown = 15;      // rows listed in the import's box
constexpr int kMaxKeptShown = 8;          // kept entries named under the tables
constexpr int kRowPadding = 6;  // pixels above and below a name
constexpr int kNumberColumn = 0;
constexpr int kNameColumn = 1;
constexpr QSize kDialogSize{620, 520};
constexpr char kCsvFilter[] = "CSV files (*.csv);;All files (*)";

QTableWidget* namesTable(const char* name, const QString& what, QWidget* parent) {
  auto* t = new QTableWidget(names::kMaxNumber, 2, parent);
  t->setObjectName(name);
  t->setHorizontalHeaderLabels({QStringLiteral("Number"), QStringLiteral("Name")});
  t->verticalHeader()->setVisible(false);
  // 256 rows: as tight as the text allows.
  t->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  t->verticalHeader()->setDefaultSectionSize(t->fontMetrics().height() + kRowPadding);
  t->horizontalHeader()->setSectionResizeMode(kNumberColumn, QHeaderView::ResizeToContents);
  t->horizontalHeader()->setStretchLastSection(true);
  t->setSelectionMode(QAbstractItemView::SingleSelection);
  t->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                     QAbstractItemView::AnyKeyPressed);
  for (int n = 1; n <= names::kMaxNumber; ++n) {
    auto* number = new QTableWidgetItem(QString::number(n));
    number->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    t->setItem(n - 1, kNumberColumn, number);
    t->setItem(n - 1, kNameColumn, new QTableWidgetItem);
  }
  nameFor(t, what);
  return t;
}

QPushButton* button(const char* name, const QString& caption, QWidget* parent) {
  auto* b = new QPushButton(caption, parent);
  b->setObjectName(name);
  b->setAutoDefault(false);
  return b;
}

}  // namespace

TNamesDialog::TNamesDialog(const names::Names& names, QWidget* owner)
    : QDialog(owner), Edited(names) {
  setObjectName("NamesDialog");
  setWindowTitle(QStringLiteral("Names"));
  resize(kDialogSize);

  auto* filterLabel = new QLabel(QStringLiteral("Filter:"), this);
  Filter = new QLineEdit(this);
  Filter->setObjectName("Filter");
  Filter->setClearButtonEnabled(true);
  Filter->setPlaceholderText(QStringLiteral("number or part of a name"));
  filterLabel->setBuddy(Filter);
  nameFor(Filter, "Filter", "Shows only the rows whose number or name holds this text");

  auto* inputs = new QGroupBox(QStringLiteral("Inputs"), this);
  InputsTable = namesTable("InputsTable", QStringLiteral("Input names"), inputs);
  (new QVBoxLayout(inputs))->addWidget(InputsTable);
  auto* outputs = new QGroupBox(QStringLiteral("Outputs"), this);
  OutputsTable = namesTable("OutputsTable", QStringLiteral("Output names"), outputs);
  (new QVBoxLayout(outputs))->addWidget(OutputsTable);

  ImportButton = button("ImportCsv", QStringLiteral("Import CSV…"), this);
  ExportButton = button("ExportCsv", QStringLiteral("Export CSV…"), this);
  OkButton = button("OkButton", QStringLiteral("OK"), this);
  OkButton->setDefault(true);
  CancelButton = button("CancelButton", QStringLiteral("Cancel"), this);

  auto* filterRow = new QHBoxLayout;
  filterRow->addWidget(filterLabel);
  filterRow->addWidget(Filter);
  auto* tables = new QHBoxLayout;
  tables->addWidget(inputs);
  tables->addWidget(outputs);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(ImportButton);
  buttons->addWidget(ExportButton);
  buttons->addStretch();
  buttons->addWidget(OkButton);
  buttons->addWidget(CancelButton);
  auto* all = new QVBoxLayout(this);
  all->addLayout(filterRow);
  all->addLayout(tables);
  // Entries of Names.ini the console could not take: saved back as they are, said here once.
  if (!names.kept().empty()) {
    const QStringList kept = names.keptText();
    auto* keptLabel = new QLabel(QStringLiteral("kept, not shown: ") + kept.mid(0, kMaxKeptShown).join(QStringLiteral("; ")) +
                                     (kept.size() > kMaxKeptShown ? QStringLiteral("; and %1 more").arg(kept.size() - kMaxKeptShown)
                                                                  : QString()),
                                 this);
    keptLabel->setObjectName("KeptLabel");
    keptLabel->setWordWrap(true);
    keptLabel->setTextFormat(Qt::PlainText);
    all->addWidget(keptLabel);
  }
  all->addLayout(buttons);

  fill();
  connect(Filter, &QLineEdit::textChanged, this, &TNamesDialog::applyFilter);
  connect(InputsTable, &QTableWidget::itemChanged, this, &TNamesDialog::nameEdited);
  connect(OutputsTable, &QTableWidget::itemChanged, this, &TNamesDialog::nameEdited);
  connect(ImportButton, &QPushButton::clicked, this, &TNamesDialog::importCsv);
  connect(ExportButton, &QPushButton::clicked, this, &TNamesDialog::exportCsv);
  connect(OkButton, &QPushButton::clicked, this, &TNamesDialog::commit);
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
  chainTabOrder({Filter, InputsTable, OutputsTable, ImportButton, ExportButton, OkButton, CancelButton});
}

QTableWidget* TNamesDialog::tableOf(names::Kind kind) const {
  return kind == names::Kind::Input ? InputsTable : OutputsTable;
}

void TNamesDialog::fill() {
  for (names::Kind kind : {names::Kind::Input, names::Kind::Output}) {
    QTableWidget* t = tableOf(kind);
    const QSignalBlocker quiet(t);
    for (int n = 1; n <= names::kMaxNumber; ++n) t->item(n - 1, kNameColumn)->setText(Edited.name(kind, n));
  }
  applyFilter();
}

void TNamesDialog::applyFilter() {
  const QString text = Filter->text().trimmed();
  for (QTableWidget* t : {InputsTable, OutputsTable}) {
    for (int row = 0; row < names::kMaxNumber; ++row) {
      const bool shown = text.isEmpty() || t->item(row, kNumberColumn)->text() == text ||
                         t->item(row, kNameColumn)->text().contains(text, Qt::CaseInsensitive);
      t->setRowHidden(row, !shown);
    }
  }
}

void TNamesDialog::nameEdited(QTableWidgetItem* item) {
  if (item->column() != kNameColumn) return;
  const names::Kind kind = item->tableWidget() == InputsTable ? names::Kind::Input : names::Kind::Output;
  const int number = item->row() + 1;
  const QString problem = Edited.set(kind, number, item->text());
  if (!problem.isEmpty()) platform::showMessage(this, problem, QStringLiteral("Error"), platform::Icon::Warning);
  // Refused: back to the name it had; taken: as stored, without surrounding blanks.
  const QSignalBlocker quiet(item->tableWidget());
  item->setText(Edited.name(kind, number));
}

void TNamesDialog::importCsv() {
  platform::FileDialog d;
  d.owner = this;
  d.caption = QStringLiteral("Import names");
  d.directory = QDir::homePath();
  d.filter = QString::fromLatin1(kCsvFilter);
  const QString path = platform::prompts().openFileName(d);
  if (path.isEmpty()) return;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) {
    platform::showMessage(this, QStringLiteral("Cannot read %1: %2.").arg(path, f.errorString()),
                          QStringLiteral("Error"), platform::Icon::Stop);
    return;
  }
  if (f.size() > kMaxCsvBytes) {
    platform::showMessage(this,
                          QStringLiteral("%1 is %2 bytes long; a names file is at most %3.")
                              .arg(path)
                              .arg(f.size())
                              .arg(kMaxCsvBytes),
                          QStringLiteral("Error"), platform::Icon::Stop);
    return;
  }
  const names::CsvImport result = Edited.importCsv(f.readAll());
  fill();
  QString text = QStringLiteral("%1 rows imported from %2.").arg(result.imported).arg(QFileInfo(path).fileName());
  if (!result.skipped.isEmpty()) {
    text += QStringLiteral("\n\n%1 rows skipped:\n").arg(result.skipped.size());
    text += result.skipped.mid(0, kMaxSkippedShown).join(QLatin1Char('\n'));
    if (result.skipped.size() > kMaxSkippedShown)
      text += QStringLiteral("\n… and %1 more.").arg(result.skipped.size() - kMaxSkippedShown);
  }
  platform::showMessage(this, text, QStringLiteral("Import CSV"),
                        result.skipped.isEmpty() ? platform::Icon::Information : platform::Icon::Warning);
}

void TNamesDialog::exportCsv() {
  platform::FileDialog d;
  d.owner = this;
  d.caption = QStringLiteral("Export names");
  d.directory = QDir::homePath();
  d.filter = QString::fromLatin1(kCsvFilter);
  d.defaultSuffix = QStringLiteral("csv");
  const QString path = platform::prompts().saveFileName(d);
  if (path.isEmpty()) return;
  QSaveFile f(path);
  const QByteArray csv = Edited.toCsv();
  if (!f.open(QIODevice::WriteOnly) || f.write(csv) != csv.size() || !f.commit())
    platform::showMessage(this, QStringLiteral("Cannot write %1: %2.").arg(path, f.errorString()),
                          QStringLiteral("Error"), platform::Icon::Stop);
}

void TNamesDialog::commit() {
  if (onCommit && !onCommit(Edited)) return;
  accept();
}
