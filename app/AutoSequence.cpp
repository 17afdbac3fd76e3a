// Auto tab: the endless switching sequence, one route per AutoTimer tick.
#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>

#include "AutoStep.h"
#include "Memo.h"
#include "PanelKeys.h"
#include "Prompts.h"
#include "SessionLogLink.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {

constexpr int kStopped = 0;
constexpr int kRunning = 1;
constexpr int kPaused = 2;

constexpr QRect kSignalRect{8, 8, 297, 28};
constexpr QRect kHintRect{8, 44, 297, 44};
constexpr QRect kInputRect{8, 96, 144, 84};
constexpr QRect kOutputRect{161, 96, 144, 84};
constexpr QRect kDelayRect{8, 188, 144, 62};
constexpr QRect kStartRect{161, 212, 68, 28};
constexpr QRect kStopRect{237, 212, 68, 28};
constexpr int kHintPointSize = 16;

const char kHintIdle[] = "Current Status";
const char kPauseMark[] = " (Pause)";
const char kShownGeometry[] = "shownGeometry";  // the page control's place with its tab buttons
constexpr int kPaneFrame = 1;  // the pane's frame, above the page also without tab buttons

QLineEdit* field(const char* name, const QString& text, QWidget* box, QRect place) {
  auto* e = new QLineEdit(text, box);
  e->setObjectName(name);
  e->setGeometry(place);
  return e;
}

QLabel* caption(const QString& text, QWidget* box, QPoint at) {
  auto* l = new QLabel(text, box);
  l->move(at);
  l->adjustSize();
  return l;
}

// "From：" and "To：" with their edit boxes.
void rangeFields(QGroupBox* box, QLineEdit* from, QLineEdit* to) {
  caption(QStringLiteral("From："), box, QPoint(12, 27))->setBuddy(from);
  caption(QStringLiteral("To："), box, QPoint(12, 55))->setBuddy(to);
  from->setGeometry(58, 24, 72, 22);
  to->setGeometry(58, 52, 72, 22);
}

QGroupBox* group(const char* name, const QString& title, QWidget* page, QRect place) {
  auto* g = new QGroupBox(title, page);
  g->setObjectName(name);
  g->setGeometry(place);
  return g;
}

// While a run is active only the Auto tab can be seen: its tab buttons go, and the other
// pages are disabled as well, so that no keyboard shortcut can switch to one either. The
// page control moves down by the height the buttons took, so that the page stays where it
// was and Start/Pause remains under the operator's pointer.
void showTabButtons(TMainForm& f, bool shown) {
  QTabWidget* pages = f.PageControl;
  QTabBar* bar = pages->tabBar();
  if (bar->isVisibleTo(pages) == shown) return;
  if (shown) {
    pages->setGeometry(pages->property(kShownGeometry).toRect());
  } else {
    const QRect whole = pages->geometry();
    pages->setProperty(kShownGeometry, whole);
    const int paneTop = f.dxTabSheetAuto->parentWidget()->geometry().top();
    pages->setGeometry(whole.adjusted(0, paneTop - kPaneFrame, 0, 0));
  }
  bar->setVisible(shown);
  for (int i = 0; i < pages->count(); ++i) {
    if (pages->widget(i) != f.dxTabSheetAuto) pages->setTabEnabled(i, shown);
  }
}

void runSteps(TMainForm& f) {
  showTabButtons(f, false);
  f.Busy = 1;
  f.ReplyTarget = 1;
  // A Qt timer of 0 ms would fire continuously; a delay of 0 means the run never steps.
  if (f.AutoTimer->interval() > 0) f.AutoTimer->start();
  setTag(f.Button4, kRunning);
  f.Button4->setText("Pause");
}

void pause(TMainForm& f) {
  f.AutoTimer->stop();
  setTag(f.Button4, kPaused);
  f.PanelHint->setText(f.PanelHint->text() + kPauseMark);
  f.Button4->setText("Start");
  showTabButtons(f, true);
  f.Busy = 0;
}

}  // namespace

QWidget* TMainForm::BuildAutoTab() {
  dxTabSheetAuto = new QWidget;
  dxTabSheetAuto->setObjectName("dxTabSheetAuto");
  QWidget* page = dxTabSheetAuto;

  fcButtonGroup1 = new QWidget(page);
  fcButtonGroup1->setObjectName("fcButtonGroup1");
  fcButtonGroup1->setGeometry(kSignalRect);
  auto* signals_ = new QButtonGroup(fcButtonGroup1);
  signals_->setExclusive(true);
  const int third = kSignalRect.width() / 3;
  struct {
    const char* name;
    const char* caption;
    TShapeButton::Edge edge;
    QAbstractButton** member;
    void (TMainForm::*handler)();
  } const shapes[] = {
      {"fcButtonGroup1fcShapeBtnAV", "AV", TShapeButton::Edge::Left, &fcButtonGroup1fcShapeBtnAV,
       &TMainForm::fcButtonGroup1fcShapeBtnAVClick},
      {"fcButtonGroup1fcShapeBtnVideo", "Video", TShapeButton::Edge::Middle,
       &fcButtonGroup1fcShapeBtnVideo, &TMainForm::fcButtonGroup1fcShapeBtnVideoClick},
      {"fcButtonGroup1fcShapeBtnAudio", "Audio", TShapeButton::Edge::Right,
       &fcButtonGroup1fcShapeBtnAudio, &TMainForm::fcButtonGroup1fcShapeBtnAudioClick},
  };
  int x = 0;
  for (const auto& s : shapes) {
    auto* b = new TShapeButton(s.caption, s.edge, fcButtonGroup1);
    b->setObjectName(s.name);
    const int w = s.edge == TShapeButton::Edge::Right ? kSignalRect.width() - x : third;
    b->setGeometry(x, 0, w, kSignalRect.height());
    x += w;
    signals_->addButton(b);
    *s.member = b;
    connect(b, &QAbstractButton::clicked, this, s.handler);
  }
  fcButtonGroup1fcShapeBtnAV->setChecked(true);

  PanelHint = new QLabel(kHintIdle, page);
  PanelHint->setObjectName("PanelHint");
  PanelHint->setGeometry(kHintRect);
  PanelHint->setAlignment(Qt::AlignCenter);
  PanelHint->setStyleSheet("QLabel#PanelHint { background: black; color: lime; border: 2px solid #2a333a;"
                           " border-radius: 4px; }");
  QFont hint;
  // SimSun where it exists; otherwise a CJK-capable face, so Chinese text never shows boxes.
  hint.setFamilies({"SimSun", QStringLiteral("宋体"), "WenQuanYi Micro Hei", "Noto Sans CJK SC",
                    "Droid Sans Fallback"});
  hint.setPointSize(kHintPointSize);
  hint.setBold(true);
  PanelHint->setFont(hint);

  QGroupBox* input = group("GroupBoxInput", "Input", page, kInputRect);
  InputFrom = field("InputFrom", "1", input, {});
  InputTo = field("InputTo", "3", input, {});
  rangeFields(input, InputFrom, InputTo);
  QGroupBox* output = group("GroupBoxOutput", "Output", page, kOutputRect);
  MaskEdit3 = field("MaskEdit3", "1", output, {});
  MaskEdit4 = field("MaskEdit4", "5", output, {});
  rangeFields(output, MaskEdit3, MaskEdit4);
  QGroupBox* delay = group("GroupBoxDelay", "Delay", page, kDelayRect);
  DelayTime = field("DelayTime", "300", delay, QRect(12, 26, 90, 22));
  caption("ms", delay, QPoint(110, 29))->setBuddy(DelayTime);

  Button4 = BuildImageButton("Button4", "Start", page, kStartRect);
  Button5 = BuildImageButton("Button5", "Stop", page, kStopRect);
  setTag(Button4, kStopped);
  Button5->setEnabled(false);
  connect(Button4, &QPushButton::clicked, this, &TMainForm::Button4Click);
  connect(Button5, &QPushButton::clicked, this, &TMainForm::Button5Click);
  connect(AutoTimer, &QTimer::timeout, this, &TMainForm::AutoTimerTimer);

  Memo2 = BuildFeedbackMemo("Memo2", page, QRect(8, 272, 297, 134));
  Button6 = BuildImageButton("Button6", "Clear", page, QRect(112, 412, 85, 24));
  connect(Button6, &QPushButton::clicked, this, &TMainForm::Button6Click);
  nameFor(fcButtonGroup1, "Signal");
  nameFor(InputFrom, "Input from");
  nameFor(InputTo, "Input to");
  nameFor(MaskEdit3, "Output from");
  nameFor(MaskEdit4, "Output to");
  nameFor(DelayTime, "Delay in ms");
  nameFor(Memo2, "Auto feedback");
  nameFor(Button6, "Clear", "Clears the Auto feedback");
  chainTabOrder({fcButtonGroup1fcShapeBtnAV, fcButtonGroup1fcShapeBtnVideo, fcButtonGroup1fcShapeBtnAudio,
                 InputFrom, InputTo, MaskEdit3, MaskEdit4, DelayTime, Button4, Button5, Memo2, Button6});
  return page;
}

int TMainForm::AutoRunState() const { return Button4 ? tagOf(Button4) : kStopped; }

void TMainForm::fcButtonGroup1fcShapeBtnAVClick() { AutoSignal = 'B'; }
void TMainForm::fcButtonGroup1fcShapeBtnVideoClick() { AutoSignal = 'V'; }
void TMainForm::fcButtonGroup1fcShapeBtnAudioClick() { AutoSignal = 'A'; }

void TMainForm::Button4Click() {
  switch (AutoRunState()) {
    case kStopped: {
      const autoseq::Check check = autoseq::ReadFields(
          {InputFrom->text(), InputTo->text(), MaskEdit3->text(), MaskEdit4->text(), DelayTime->text()});
      if (check.problem != autoseq::Problem::None) {
        platform::showMessage(this, check.message, "Error");
        return;
      }
      AutoInput = check.values.input;
      AutoLastInput = check.values.lastInput;
      AutoOutput = check.values.output;
      AutoLastOutput = check.values.lastOutput;
      AutoTimer->setInterval(check.values.delayMs);
      Button5->setEnabled(true);
      runSteps(*this);
      return;
    }
    case kPaused: runSteps(*this); return;
    case kRunning: pause(*this); return;
    default: return;
  }
}

void TMainForm::Button5Click() {
  AutoTimer->stop();
  setTag(Button4, kStopped);
  Button4->setText("Start");
  PanelHint->setText(kHintIdle);
  Button5->setEnabled(false);
  showTabButtons(*this, true);
  Busy = 0;
}

void TMainForm::AutoTimerTimer() {
  // With [Link] Pace set, a step waits while the one before is still queued.
  if (PacedBacklog(*this) > 0) return;
  PanelHint->setText(autoseq::Hint(AutoInput, AutoOutput, AutoSignal));
  const QByteArray route = autoseq::StepCommand(AutoInput, AutoOutput, AutoSignal);
  if (tcpMode() ? !socketActive() : !serialOpen()) {
    // Paused before the refusal box, so that ticks cannot pile up boxes behind it. The pair
    // is not passed over: resuming sends it once the link is back.
    pause(*this);
    SendCode(*this, route);
    return;
  }
  PacedSend(*this, route, kKeepReplyTarget);
  if (!autoseq::Advance(AutoInput, AutoOutput, AutoLastInput, AutoLastOutput, MaskEdit3->text(),
                        InputFrom->text())) {
    pause(*this);
    platform::showMessage(this, autoseq::InvalidNumberText(), "Error");
  }
}
