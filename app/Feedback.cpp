// Switcher feedback: lines from both links, their views, the matrix status on the output
// buttons, and the timers that end the identification.
#include <QComboBox>
#include <QTcpSocket>
#include <QTimer>

#include "Commands.h"
#include "EngineFrontEnd.h"
#include "Memo.h"
#include "Outport.h"
#include "RoutingView.h"
#include "SessionLogLink.h"
#include "SwitcherEngine.h"
#include "Unit1.h"
#include "Update.h"
#include "Widgets.h"

namespace {
constexpr int kNoSwitcherLine = 4;
constexpr int kMaxInput = 256;

// The memo shows the line up to its first zero byte.
QString memoText(const QByteArray& line) {
  const int nul = line.indexOf('\0');
  return LinkBytesText(nul < 0 ? line : line.left(nul));
}

bool setsCaption(feedback::Kind k) {
  return k == feedback::Kind::AudioVideo || k == feedback::Kind::Video;
}
}  // namespace

void TMainForm::SerialFeedback(std::uint8_t byte) {
  GatewaySwitcherBytes(*this, reinterpret_cast<const char*>(&byte), 1);
  QByteArray line;
  if (Serial.push(byte, &line)) HandleFeedbackLine(line);
}

void TMainForm::ClientSocket1Read() {
  // In pieces no larger than the ring's free space, scanning between them, so that a
  // large read never overwrites an unfinished line and no complete line is lost.
  char chunk[feedback::kTcpRingSize];
  for (;;) {
    const qint64 waiting = ClientSocket1->bytesAvailable();
    if (waiting <= 0) break;
    const int room = Tcp.freeSpace();
    if (room <= 0) break;
    const qint64 got = ClientSocket1->read(chunk, qMin<qint64>(waiting, room));
    if (got <= 0) break;
    Tcp.receive(chunk, static_cast<int>(got));
    GatewaySwitcherBytes(*this, chunk, static_cast<int>(got));
    TcpBytesReceived += static_cast<std::uint64_t>(got);
    Tcp.scan([this](const QByteArray& line) { HandleFeedbackLine(line); });
  }
}

void TMainForm::SetCaption(int output, int input) {
  if (output < 1 || output > kOutputCount) return;
  OutPort[output]->setCaption(QString::number(input));
}

void TMainForm::HandleFeedbackLine(const QByteArray& text) {
  ++LinesHandled;
  const feedback::Line line = feedback::ParseLine(text);
  RoutingReport(*this, line);
  if (engine::SwitcherEngine* e = EngineOf(*this)) e->lineArrived(text);
  const QString shown = memoText(text);

  switch (ReplyTarget) {
    case 1: Memo2->appendLine(shown); break;
    case 2: Memo1->appendLine(shown); break;
    case 3: Memo3->appendLine(shown); break;
    case 4: Memo4->appendLine(shown); break;
    case 5:
      if (Form2 && GatewayLineFillsDialog(*this, line)) {
        const int v = line.input;
        switch (line.kind) {
          case feedback::Kind::AudioVideo:
          case feedback::Kind::Video:
            Form2->setItemIndex(line.kind == feedback::Kind::AudioVideo ? 0 : 1);
            Form2->ComboBox2->setCurrentIndex(v >= 0 && v <= kMaxInput ? v : -1);
            Form2->ComboBox1->setEnabled(false);
            Form2->ComboBox2->setEnabled(true);
            break;
          case feedback::Kind::Audio:
            Form2->setItemIndex(2);
            Form2->ComboBox1->setCurrentIndex(v >= 0 && v <= kMaxInput ? v : -1);
            Form2->ComboBox1->setEnabled(true);
            Form2->ComboBox2->setEnabled(false);
            break;
          case feedback::Kind::Other:
            Form2->setItemIndex(-1);
            Form2->ComboBox1->setEnabled(false);
            Form2->ComboBox2->setEnabled(false);
            break;
        }
      }
      if (setsCaption(line.kind)) SetCaption(line.output, line.input);
      break;
    case 6:
      Timer->stop();
      MemoSysInfo->appendLine(shown);
      if (engine::SwitcherEngine* e = EngineOf(*this)) e->identificationLine(text);
      break;
    case 7:
      Timer4->stop();
      StatusWaitTimer->stop();
      if (setsCaption(line.kind)) SetCaption(line.output, line.input);
      Timer4->start();
      break;
    default: break;
  }

  // The receive log takes the line before the status refresh below: a refused send shows
  // a box whose event loop handles later lines, and they must not overtake this one.
  Memo6->appendLine(shown, LogReceived(*this, text));

  if (ReplyTarget >= 1 && ReplyTarget <= 4) {
    if (setsCaption(line.kind)) {
      SetCaption(line.output, line.input);
    } else if (line.kind != feedback::Kind::Audio) {
      ReplyTarget = 7;
      CodeQueryAllStatus(*this);
    }
  }
}

void TMainForm::TimerTimer() {
  Timer->stop();
  MemoSysInfo->replaceLine(kNoSwitcherLine, "Switcher : no switcher");
  if (Form5) Form5->CloseUpdate();
}

void TMainForm::Timer3Timer() {
  Timer3->stop();
  ReplyTarget = 7;
  // Bounds the wait for status lines of an identification whose reply stopped Timer.
  if (Identifying) StatusWaitTimer->start();
  CodeQueryAllStatus(*this);
}

void TMainForm::Timer4Timer() {
  Timer4->stop();
  if (Form5) Form5->CloseUpdate();
}

void TMainForm::StatusWaitTimerTimer() {
  StatusWaitTimer->stop();
  if (Form5) Form5->CloseUpdate();
}
