#pragma once
// The switcher's command language: one builder per command. Each hands its text to SendCode.
// The *Text functions form the same texts without sending them (the simulator and tests use them).
// Numbers are written as plain decimals ("%i": 7, 256, -1); no builder checks a range.
// The list commands need at least one output: with none (count < 1 or a null list) the
// text is empty and CodeRoute/CodeCloseOutputs send nothing.

#include <QByteArray>

class LinkContext;

namespace commands {
QByteArray RouteText(int input, const int* outputs, int count, char signal);
QByteArray CloseOutputsText(const int* outputs, int count);
QByteArray InputToAllText(int input);
QByteArray SaveText(int group);
QByteArray RecallText(int group);
QByteArray QueryStatusText(int output);
QByteArray SetPasswordText(const QByteArray& password);  // caller checked the length
}  // namespace commands

void CodeQueryType(LinkContext& link);
void CodeQueryVersion(LinkContext& link);
void CodeSetPassword(LinkContext& link, const QByteArray& password);
bool CodeLockKeyboard(LinkContext& link);  // true when sent
void CodeUnlockKeyboard(LinkContext& link);
void CodeRoute(LinkContext& link, int input, const int* outputs, int count, char signal);
void CodeInputToAll(LinkContext& link, int input);
void CodeAllToAll(LinkContext& link);
bool CodeCloseOutputs(LinkContext& link, const int* outputs, int count);  // true when sent
void CodeCloseAll(LinkContext& link);
void CodeUndo(LinkContext& link);
void CodeSave(LinkContext& link, int group);
void CodeRecall(LinkContext& link, int group);
void CodeQueryStatus(LinkContext& link, int output);
void CodeQueryAllStatus(LinkContext& link);
