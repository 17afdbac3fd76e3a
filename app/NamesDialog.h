#pragma once
// The Names dialog: the names of inputs 1-256 and outputs 1-256 in two tables, a filter,
// CSV import and export. It edits a copy; nothing is written until OK.

#include <QDialog>
#include <functional>

#include "Names.h"

class QLineEdit;
class QPushButton;
class QTableWidget;
class QTableWidgetItem;

class TNamesDialog : public QDialog {
  Q_OBJECT
 public:
  TNamesDialog(const names::Names& names, QWidget* owner);

  // Runs on OK with the edited names (the owner writes only what differs from the names the
  // dialog opened with); false keeps the dialog open (the operator has been told).
  std::function<bool(const names::Names&)> onCommit;
  const names::Names& edited() const { return Edited; }

  void importCsv();
  void exportCsv();
  void applyFilter();

  QLineEdit* Filter = nullptr;
  QTableWidget* InputsTable = nullptr;
  QTableWidget* OutputsTable = nullptr;
  QPushButton* ImportButton = nullptr;
  QPushButton* ExportButton = nullptr;
  QPushButton* OkButton = nullptr;
  QPushButton* CancelButton = nullptr;

 private:
  void fill();
  void nameEdited(QTableWidgetItem* item);
  void commit();
  QTableWidget* tableOf(names::Kind kind) const;

  names::Names Edited;
};
