#include "RoutingView.h"

#include <QDateTime>
#include <QEvent>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QShortcut>
#include <QTabWidget>
#include <QTimer>
#include <chrono>

#include "CodeTreeView.h"
#include "EngineFrontEnd.h"
#include "Feedback.h"
#include "Ini.h"
#include "Outport.h"
#include "Prompts.h"
#include "Protects.h"
#include "RoutingSnapshot.h"
#include "RoutingTable.h"
#include "SwitcherEngine.h"
#include "NamesDialog.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {

constexpr std::chrono::milliseconds kCaptureBound{3000};
constexpr int kStatusRefresh = 7;  // reply target of a status refresh
const QKeySequence kCaptureKeys(Qt::CTRL | Qt::SHIFT | Qt::Key_S);

// The line handler runs for every line: find the window's TRouting once, not per line.
TMainForm* CachedForm = nullptr;
TRouting* CachedRouting = nullptr;

TRouting* routingOf(TMainForm& form) {
  if (&form != CachedForm) {
    CachedForm = &form;
    CachedRouting = form.findChild<TRouting*>(QString(), Qt::FindDirectChildrenOnly);
  }
  return CachedRouting;
}

QString kindWord(names::Kind kind) {
  return kind == names::Kind::Input ? QStringLiteral("input") : QStringLiteral("output");
}

}  // namespace

TRouting::TRouting(TMainForm& form)
    : QObject(&form), Form(form), Table(&EngineOf(form)->routes()),
      CaptureBound(new QTimer(this)) {
  setObjectName("Routing");
  CachedForm = &form;
  CachedRouting = this;

  engine::SwitcherEngine* e = EngineOf(form);
  Names = e->names();
  // Every rename, the operator's or a remote client's, shows on the grid and in the dialog.
  connect(e, &engine::SwitcherEngine::namesChanged, this, [this, e] {
    Names = e->names();
    showNames();
    emit namesChanged();
  });

  connect(Table, &routing::RoutingTable::changed, this, [this](int output) {
    if (output >= 1 && output <= kOutputCount) Form.OutPort[size_t(output)]->sourcesChanged();
  });
  connect(Table, &routing::RoutingTable::allReported, this, &TRouting::finishCapture);
  CaptureBound->setSingleShot(true);
  CaptureBound->setInterval(kCaptureBound);
  connect(CaptureBound, &QTimer::timeout, this, &TRouting::finishCapture);

  auto* keys = new QShortcut(kCaptureKeys, &form);
  keys->setObjectName("CaptureRoutingKeys");
  connect(keys, &QShortcut::activated, this, &TRouting::capture);

  for (int n = 1; n <= kOutputCount; ++n) {
    Form.OutPort[size_t(n)]->installEventFilter(this);
    Form.OutPort[size_t(n)]->setSources(Table, nullptr);
    Form.OutPort[size_t(n)]->setProtects(&e->protects());
  }
  // The operator is not bound by a protect (the window's sends are its own), only shown it.
  connect(&e->protects(), &routing::Protects::changed, this, [this](int output) {
    if (output >= 1 && output <= kOutputCount) Form.OutPort[size_t(output)]->protectChanged();
  });
  if (!Names.isEmpty()) showNames();
}

TRouting::~TRouting() {
  if (CachedRouting == this) {
    CachedForm = nullptr;
    CachedRouting = nullptr;
  }
}

bool TRouting::setNames(const names::Names& next) {
  if (next == Names) return true;
  if (!EngineOf(Form)->setNames(next)) {
    platform::showMessage(&Form,
                          QStringLiteral("The names could not be written to %1.")
                              .arg(platform::profilePath(QString::fromLatin1(names::kNamesFile))),
                          QStringLiteral("Error"), platform::Icon::Stop);
    return false;
  }
  return true;
}

void TRouting::showNames() {
  const names::Names* shown = Names.isEmpty() ? nullptr : &Names;
  for (int n = 1; n <= kOutputCount; ++n) Form.OutPort[size_t(n)]->setSources(Table, shown);
  // Form2 comes after the main window; it takes the names when it first opens.
  if (Form2 && (shown || DialogNamed)) {
    Form2->setInputNames(shown);
    DialogNamed = shown != nullptr;
  }
}

void TRouting::prepareDialog(int output) {
  if (!Form2) return;
  const names::Names* shown = Names.isEmpty() ? nullptr : &Names;
  if (shown && !DialogNamed) {
    Form2->setInputNames(shown);
    DialogNamed = true;
  }
  Form2->setOutputName(Names.name(names::Kind::Output, output));
}

bool TRouting::eventFilter(QObject* watched, QEvent* e) {
  // Right click, or the Menu key on the button the keyboard is on.
  QPoint at;
  if (e->type() == QEvent::ContextMenu) {
    at = static_cast<QContextMenuEvent*>(e)->globalPos();
  } else if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_Menu) {
    auto* w = static_cast<QWidget*>(watched);
    at = w->mapToGlobal(w->rect().center());
  } else {
    return false;
  }
  contextMenu(tagOf(watched), at);
  return true;
}

void TRouting::contextMenu(int output, QPoint globalPos) {
  if (output < 1 || output > kOutputCount) return;
  bool isNumber = false;
  const int input = Form.OutPort[size_t(output)]->caption().toInt(&isNumber);
  QMenu menu(&Form);
  menu.setObjectName("OutPortMenu");
  QAction* nameOutput = menu.addAction(QStringLiteral("Name output %1…").arg(output));
  QAction* nameInput = menu.addAction(QStringLiteral("Name input %1…").arg(input));
  // Input 0 is a closed output: nothing to name.
  nameInput->setEnabled(isNumber && input >= 1 && input <= names::kMaxNumber);
  QAction* all = menu.addAction(QStringLiteral("Names…"));
  menu.addSeparator();
  QAction* capture = menu.addAction(QStringLiteral("Capture routing"));
  capture->setShortcut(kCaptureKeys);
  capture->setEnabled(!Capturing && !Form.Busy);
  QAction* chosen = menu.exec(globalPos);
  if (chosen == nameOutput) nameOne(names::Kind::Output, output);
  if (chosen == nameInput) nameOne(names::Kind::Input, input);
  if (chosen == all) openNamesDialog();
  if (chosen == capture) this->capture();
}

void TRouting::nameOne(names::Kind kind, int number) {
  QInputDialog ask(&Form);
  ask.setObjectName("NameDialog");
  ask.setWindowTitle(QStringLiteral("Name %1 %2").arg(kindWord(kind)).arg(number));
  ask.setLabelText(QStringLiteral("Name (at most %1 characters; empty for none):").arg(names::kMaxLength));
  ask.setTextValue(Names.name(kind, number));
  for (;;) {
    if (ask.exec() != QDialog::Accepted) return;
    const QString problem = names::Problem(ask.textValue());
    if (problem.isEmpty()) break;
    platform::showMessage(&ask, problem, QStringLiteral("Error"), platform::Icon::Warning);
  }
  names::Names next = Names;
  next.set(kind, number, ask.textValue());
  setNames(next);
}

void TRouting::openNamesDialog() {
  const names::Names opened = Names;
  TNamesDialog dialog(opened, &Form);
  // Only what the operator changed: a panel's or MQTT's rename made while the dialog was
  // open stays.
  dialog.onCommit = [this, &opened](const names::Names& edited) {
    names::Names next = Names;
    next.takeChanges(opened, edited);
    return setNames(next);
  };
  dialog.exec();
}

void TRouting::capture() {
  if (Capturing || Form.Busy || !Form.RootNode) return;
  const bool linkOpen = Form.tcpMode() ? Form.socketActive() : Form.serialOpen();
  Form.ReplyTarget = kStatusRefresh;
  Table->beginRefresh();
  // A closed link: SendCode tells the operator so, and there is nothing to wait for.
  SendCode(Form, "Status.");
  if (!linkOpen) return;
  Capturing = true;
  CaptureBound->start();
}

void TRouting::finishCapture() {
  if (!Capturing) return;
  Capturing = false;
  CaptureBound->stop();
  const routing::Snapshot snap =
      routing::MakeSnapshot(Table->refreshedRoutes(), &Names, QDateTime::currentDateTime());
  if (!Form.RootNode) {  // the tree is being replaced: nowhere to put it
    emit captureFinished(false);
    return;
  }
  if (snap.unknownOutputs == routing::kOutputs) {
    platform::showMessage(&Form,
                          QStringLiteral("No output reported its routing within %1 seconds: "
                                         "nothing was captured.")
                              .arg(kCaptureBound.count() / 1000),
                          QStringLiteral("Error"), platform::Icon::Warning);
    emit captureFinished(false);
    return;
  }
  CodeTreeItem* group = AppendSnapshotGroup(Form, snap);
  Form.CodeTreeChanged = 1;
  Form.PageControl->setCurrentWidget(Form.dxTabSheet4);
  // Selecting it shows it in the edit panel.
  Form.CurrentNode = group;
  Form.CodeHost->SelectNode(group);
  emit captureFinished(true);
}

TRouting* TRouting::of(const TMainForm& form) { return routingOf(const_cast<TMainForm&>(form)); }

void TMainForm::SetupRouting() { new TRouting(*this); }

CodeTreeItem* AppendSnapshotGroup(TMainForm& form, const routing::Snapshot& snap) {
  if (!form.RootNode) return nullptr;
  const std::string user = snap.user.toStdString();
  CodeTreeItem* group = form.CodeHost->AddLastChild(
      form.RootNode, std::make_unique<TGroupNode>(user, snap.description.toStdString()));
  for (const routing::SnapshotItem& item : snap.items) {
    auto code = std::make_unique<TCodeNode>(user, item.description.toStdString());
    code->code = item.code.toStdString();
    form.CodeHost->AddLastChild(group, std::move(code));
  }
  return group;
}

void RoutingReport(TMainForm& form, const feedback::Line& line) {
  if (line.kind == feedback::Kind::Other) return;
  // The table follows the reports that set captions (not under 0 or 6), so that the mark
  // and the caption never tell two stories.
  if (form.ReplyTarget == 0 || form.ReplyTarget == 6) return;
  if (TRouting* r = routingOf(form)) r->table().apply(line);
}

void RoutingClosed(TMainForm& form, int output) {
  if (TRouting* r = routingOf(form)) r->table().close(output);
}

void RoutingDialogOpens(TMainForm& form, int output) {
  if (TRouting* r = routingOf(form)) r->prepareDialog(output);
}
