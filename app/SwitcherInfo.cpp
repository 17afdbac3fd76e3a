// The switcher's identity and link state for the bridges.
#include "SwitcherInfo.h"

#include <QAbstractButton>
#include <QRadioButton>
#include <QTcpSocket>
#include <QLineEdit>
#include <QPointer>
#include <QThread>

#include "Ini.h"
#include "Memo.h"
#include "RoutingTable.h"
#include "SwitcherModel.h"
#include "Unit1.h"
#include "ValidateIp.h"

namespace {
QPointer<SwitcherInfo> current;  // one window per process
}

SwitcherInfo::SwitcherInfo(TMainForm& form)
    : QObject(&form), Form(form), Inputs(routing::kOutputs), Outputs(routing::kOutputs) {
  setObjectName(QStringLiteral("SwitcherInfo"));
  current = this;
  // The socket's events and a change of mode; the COM port's open, close and loss come
  // through linkEvent().
  connect(form.ClientSocket1, &QAbstractSocket::stateChanged, this, &SwitcherInfo::linkEvent);
  connect(form.RadioButton1, &QAbstractButton::toggled, this, &SwitcherInfo::linkEvent);
}

void SwitcherInfo::linkEvent() {
  // After the handler that reported it has finished changing the link.
  QMetaObject::invokeMethod(this, &SwitcherInfo::recheck, Qt::QueuedConnection);
}

SwitcherInfo::~SwitcherInfo() = default;

SwitcherInfo* SwitcherInfo::of(const TMainForm& form) {
  return current && &current->Form == &form ? current.data() : nullptr;
}

bool SwitcherInfo::linkUp() const { return Form.tcpMode() ? Form.socketActive() : Form.serialOpen(); }

bool SwitcherInfo::identifying() const { return Identifying; }

QString SwitcherInfo::linkName() const {
  if (!linkUp()) return {};
  if (Form.tcpMode()) return QStringLiteral("TCP %1:%2").arg(CanonicalIp(Form.Edit6->text())).arg(Form.tcpPort());
  return QStringLiteral("COM%1 %2").arg(Form.OpenPort).arg(platform::comDevicePath(Form.OpenPort));
}

void SwitcherInfo::recheck() {
  const bool up = linkUp();
  if (up == LastUp) return;
  LastUp = up;
  emit linkChanged(up);
}

void SwitcherInfo::identificationStarts() {
  recheck();
  LinesSeen = 0;
  PendingModel.clear();
  PendingVersion.clear();
  Identifying = true;
  emit identifyingChanged(true);
}

void SwitcherInfo::identificationLine(const QByteArray& line) {
  if (!Identifying) return;
  // As the System memo shows it: up to a zero byte.
  const int nul = line.indexOf('\0');
  const QString text = LinkBytesText(nul < 0 ? line : line.left(nul)).trimmed();
  if (LinesSeen == 0) PendingModel = text;
  if (LinesSeen == 1) PendingVersion = text;
  ++LinesSeen;
}

void SwitcherInfo::identificationEnds() {
  Identifying = false;
  recheck();
  // A switcher that did not answer keeps what an earlier identification learnt.
  if (!PendingModel.isEmpty()) learn(PendingModel, PendingVersion);
  emit identifyingChanged(false);
}

void SwitcherInfo::learn(const QString& model, const QString& version) {
  if (model == Model && version == Version) return;
  Model = model;
  Version = version;
  int i = routing::kOutputs, o = routing::kOutputs;
  model::ParseMatrixSize(Model, &i, &o);
  Inputs = i;
  Outputs = qMin(o, routing::kOutputs);
  emit identifiedChanged();
}

void TMainForm::SetupSwitcherInfo() { new SwitcherInfo(*this); }
