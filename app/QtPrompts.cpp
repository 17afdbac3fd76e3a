#include "QtPrompts.h"

#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>

using platform::Answer;
using platform::Buttons;
using platform::Icon;

namespace {

QMessageBox::Icon toQt(Icon icon) {
  switch (icon) {
    case Icon::Stop: return QMessageBox::Critical;
    case Icon::Warning: return QMessageBox::Warning;
    case Icon::Information: return QMessageBox::Information;
    case Icon::Question: return QMessageBox::Question;
    case Icon::None: break;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons toQt(Buttons buttons) {
  switch (buttons) {
    case Buttons::Ok: return QMessageBox::Ok;
    case Buttons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case Buttons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case Buttons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
  }
  return QMessageBox::Ok;
}

QString runFileDialog(const platform::FileDialog& d, QFileDialog::AcceptMode mode) {
  QFileDialog dialog(d.owner, d.caption, d.directory, d.filter);
  dialog.setAcceptMode(mode);
  dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile
                                                     : QFileDialog::AnyFile);
  if (!d.defaultSuffix.isEmpty()) dialog.setDefaultSuffix(d.defaultSuffix);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}

// A question with only Yes and No (save the edited code tree?) waits for one of them: Esc or
// the close box would otherwise answer No and throw the edits away unasked.
class InsistOnAnswer : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::Close) {
      e->ignore();
      return true;
    }
    if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape)
      return true;
    return QObject::eventFilter(watched, e);
  }
};

}  // namespace

Answer QtPrompts::message(const platform::Prompt& p) {
  QMessageBox box(toQt(p.icon), p.caption, p.text, toQt(p.buttons), p.owner);
  InsistOnAnswer insist;
  if (p.buttons == Buttons::YesNo) {
    box.setWindowFlag(Qt::WindowCloseButtonHint, false);
    box.installEventFilter(&insist);
  }
  switch (box.exec()) {
    case QMessageBox::Cancel: return Answer::Cancel;
    case QMessageBox::Yes: return Answer::Yes;
    case QMessageBox::No: return Answer::No;
    case QMessageBox::Ok: return Answer::Ok;
    default: break;
  }
  // Closed with Esc or the close box: the box's escape answer (a Yes/No box has none).
  return p.buttons == Buttons::Ok ? Answer::Ok : Answer::Cancel;
}

QString QtPrompts::openFileName(const platform::FileDialog& dialog) {
  return runFileDialog(dialog, QFileDialog::AcceptOpen);
}

QString QtPrompts::saveFileName(const platform::FileDialog& dialog) {
  return runFileDialog(dialog, QFileDialog::AcceptSave);
}
