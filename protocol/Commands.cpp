#include "Commands.h"

#include <QtGlobal>

#include "Prompts.h"
#include "Transmission.h"

namespace {

constexpr int kPasswordLength = 8;  // bytes; the switcher takes exactly this many

// "%i" form: no leading zeros, no fill, a sign only below zero.
QByteArray Dec(int value) { return QByteArray::number(value); }

// Output numbers joined by ",". Empty when there is nothing to join: the callers always pass
// at least one output, and a list command without outputs would mean something else.
QByteArray OutputList(const int* outputs, int count) {
  QByteArray list;
  if (outputs == nullptr || count < 1) {
    return list;
  }
  for (int k = 0; k < count; ++k) {
    if (k > 0) {
      list += ',';
    }
    list += Dec(outputs[k]);
  }
  return list;
}

bool SendIfAny(LinkContext& link, const QByteArray& text, const char* what) {
  if (text.isEmpty()) {
    qWarning("%s: no outputs given, nothing sent", what);
    return false;
  }
  return SendCode(link, text);
}

}  // namespace

namespace commands {

QByteArray RouteText(int input, const int* outputs, int count, char signal) {
  const QByteArray list = OutputList(outputs, count);
  if (list.isEmpty()) {
    return {};
  }
  QByteArray text = Dec(input);
  text += signal;
  text += list;
  text += '.';
  return text;
}

QByteArray CloseOutputsText(const int* outputs, int count) {
  const QByteArray list = OutputList(outputs, count);
  if (list.isEmpty()) {
    return {};
  }
  return list + "$.";
}

QByteArray InputToAllText(int input) { return Dec(input) + "All."; }
QByteArray SaveText(int group) { return "Save" + Dec(group) + '.'; }
QByteArray RecallText(int group) { return "Recall" + Dec(group) + '.'; }
QByteArray QueryStatusText(int output) { return "Status" + Dec(output) + '.'; }
QByteArray SetPasswordText(const QByteArray& password) { return "/+" + password + ';'; }

}  // namespace commands

void CodeQueryType(LinkContext& link) { SendCode(link, "/*Type;"); }
void CodeQueryVersion(LinkContext& link) { SendCode(link, "/^Version;"); }

void CodeSetPassword(LinkContext& link, const QByteArray& password) {
  if (password.size() != kPasswordLength) {
    platform::showMessage(nullptr, QStringLiteral("Invalid Password! Notice: 8 letters!"),
                          QStringLiteral("Error"));
    return;
  }
  SendCode(link, commands::SetPasswordText(password));
}

bool CodeLockKeyboard(LinkContext& link) { return SendCode(link, "/%Lock;"); }
void CodeUnlockKeyboard(LinkContext& link) { SendCode(link, "/%Unlock;"); }

void CodeRoute(LinkContext& link, int input, const int* outputs, int count, char signal) {
  SendIfAny(link, commands::RouteText(input, outputs, count, signal), "CodeRoute");
}

void CodeInputToAll(LinkContext& link, int input) {
  SendCode(link, commands::InputToAllText(input));
}

void CodeAllToAll(LinkContext& link) { SendCode(link, "All#."); }

bool CodeCloseOutputs(LinkContext& link, const int* outputs, int count) {
  return SendIfAny(link, commands::CloseOutputsText(outputs, count), "CodeCloseOutputs");
}

void CodeCloseAll(LinkContext& link) { SendCode(link, "All$."); }
void CodeUndo(LinkContext& link) { SendCode(link, "Undo."); }
void CodeSave(LinkContext& link, int group) { SendCode(link, commands::SaveText(group)); }
void CodeRecall(LinkContext& link, int group) { SendCode(link, commands::RecallText(group)); }

void CodeQueryStatus(LinkContext& link, int output) {
  SendCode(link, commands::QueryStatusText(output));
}

void CodeQueryAllStatus(LinkContext& link) { SendCode(link, "Status."); }
