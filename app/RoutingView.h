#pragma once
// The routing table, the operator's names and routing snapshots on the main window: audio
// marks, tooltips and accessible names on the grid, names in the output-port dialog, the
// grid's context menu, the Names dialog and "Capture routing". One TRouting object, a child
// of the window, holds it all; TMainForm::SetupRouting makes it (with the names of
// Names.ini) and wires it in.

#include <QObject>
#include <QPoint>

#include "Names.h"

class QTimer;
class TMainForm;

namespace feedback {
struct Line;
}
namespace routing {
class RoutingTable;
struct Snapshot;
}
struct CodeTreeItem;

class TRouting : public QObject {
  Q_OBJECT
 public:
  explicit TRouting(TMainForm& form);
  ~TRouting() override;
  // The window's TRouting; null before SetupRouting().
  static TRouting* of(const TMainForm& form);

  routing::RoutingTable& table() const { return *Table; }
  const names::Names& names() const { return Names; }
  // Writes Names.ini and shows the names everywhere; false (the operator has been told
  // why) when the file could not be written.
  bool setNames(const names::Names& next);

  // "Capture routing": asks for the status of every output and, once all have reported
  // (3 s at most), appends a snapshot group to the code tree. Nothing while one runs.
  void capture();
  bool capturing() const { return Capturing; }
  // The grid's context menu for an output button.
  void contextMenu(int output, QPoint globalPos);
  // Asks for the name of one input or output.
  void nameOne(names::Kind kind, int number);
  void openNamesDialog();
  // The output-port dialog is about to open for output.
  void prepareDialog(int output);

 signals:
  // A capture ended: appended is false when nothing was captured.
  void captureFinished(bool appended);
  // The names changed (and were written to Names.ini).
  void namesChanged();

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void finishCapture();
  void showNames();

  TMainForm& Form;
  routing::RoutingTable* Table;
  names::Names Names;
  QTimer* CaptureBound;
  bool Capturing = false;
  bool DialogNamed = false;  // the output-port dialog's lists show names
};

// Appends a routing snapshot's group to the code tree; null when there is no tree to take it.
CodeTreeItem* AppendSnapshotGroup(TMainForm& form, const routing::Snapshot& snap);
// Feeds a route report to the table, under the reply targets where reports set captions.
void RoutingReport(TMainForm& form, const feedback::Line& line);
// The output-port dialog closed the output.
void RoutingClosed(TMainForm& form, int output);
// The output-port dialog opens for output.
void RoutingDialogOpens(TMainForm& form, int output);
