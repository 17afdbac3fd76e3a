#include "QtPrompts.h"

#include <QFileDialog>
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

}  // namespace

Answer QtPrompts::message(const platform::Prompt& p) {
  QMessageBox box(toQt(p.icon), p.caption, p.text, toQt(p.buttons), p.owner);
  switch (box.exec()) {
    case QMessageBox::Cancel: return Answer::Cancel;
    case QMessageBox::Yes: return Answer::Yes;
    case QMessageBox::No: return Answer::No;
    case QMessageBox::Ok: return Answer::Ok;
    default: break;
  }
  // Closed with Esc or the close box: the box's escape answer.
  switch (p.buttons) {
    case Buttons::Ok: return Answer::Ok;
    case Buttons::YesNo: return Answer::No;
    default: return Answer::Cancel;
  }
}

QString QtPrompts::openFileName(const platform::FileDialog& dialog) {
  return runFileDialog(dialog, QFileDialog::AcceptOpen);
}

QString QtPrompts::saveFileName(const platform::FileDialog& dialog) {
  return runFileDialog(dialog, QFileDialog::AcceptSave);
}
