// The output grid's clicks: query one output, let the operator route or close it in the
// output-port dialog, and send what was chosen.
#include <QComboBox>

#include "Commands.h"
#include "EngineFrontEnd.h"
#include "Outport.h"
#include "RoutingView.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {
constexpr int kGridRow = 16;  // outputs per row of the grid
// RadioGroup1's items and the signal letter each one routes with.
constexpr char kSignalLetters[] = {'B', 'V', 'A'};  // AV, Video, Audio
}  // namespace

void TMainForm::OutPort001Click(QObject* sender) {
  // A modal run already under way (a click reached from one of its nested loops) keeps
  // the dialog to itself.
  if (Busy || !Form2 || Form2->isVisible()) return;
  const int n = tagOf(sender);
  Form2->setWindowTitle(QStringLiteral("OutPort %1").arg(n));
  RoutingDialogOpens(*this, n);
  GatewayDialogOpens(*this, n);
  // Route reports to the last use's own command were handled under target 5 while the
  // dialog was hidden; they must not show up here for another output.
  if (OutPortDialogUsed) Form2->ResetForNextUse();
  OutPortDialogUsed = true;
  ReplyTarget = 5;
  CodeQueryStatus(*this, n);

  if (Form2->exec() == QDialog::Accepted) {
    const int audio = Form2->ComboBox1->currentIndex();
    const int video = Form2->ComboBox2->currentIndex();
    if (audio != 0 || video != 0) {
      const int signal = Form2->itemIndex();
      const int input = signal == 2 ? audio : video;
      // No signal chosen, or a list showing no input (a reply beyond 256): nothing to route.
      if (signal >= 0 && signal <= 2 && input >= 0)
        CodeRoute(*this, input, &n, 1, kSignalLetters[signal]);
    } else {
      ReplyTarget = 0;
      // Refused (link down): the switcher still routes the output, so the button stays.
      if (CodeCloseOutputs(*this, &n, 1)) {
        OutPort[n]->setCaption("0");
        RoutingClosed(*this, n);
      }
    }
  }
  Form2->ResetForNextUse();
}

void TMainForm::OutPortArrowKey(QObject* sender, int key) {
  const int from = tagOf(sender);
  const int step = key == Qt::Key_Left    ? -1
                   : key == Qt::Key_Right ? 1
                   : key == Qt::Key_Up    ? -kGridRow
                                          : kGridRow;
  const int to = from + step;
  if (from < 1 || from > kOutputCount || to < 1 || to > kOutputCount) return;
  // Only the button the keyboard is on stays in the Tab chain: one Tab stop for the grid,
  // entered again where the operator left it.
  OutPort[to]->setFocusPolicy(Qt::TabFocus);
  OutPort[to]->setFocus(Qt::OtherFocusReason);
  OutPort[from]->setFocusPolicy(Qt::NoFocus);
}
