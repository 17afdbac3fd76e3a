// The session log, and the engine's paced send queue as the window shows it (commands
// left, Stop, Esc). Switcher.ini: [Log] Enabled, Days, MaxMB (the log's files); [Link] Pace
// (ms between the commands of a run; 0 sends at once) is the engine's.
#include "SessionLogLink.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSaveFile>
#include <QTcpSocket>
#include <QUrl>
#include <deque>

#include "CodeTreeView.h"
#include "Ini.h"
#include "LogText.h"
#include "Memo.h"
#include "Prompts.h"
#include "CommandQueue.h"
#include "EngineFrontEnd.h"
#include "SessionLog.h"
#include "SwitcherEngine.h"
#include "Transmission.h"
#include "Unit1.h"
#include "ValidateIp.h"

namespace {

constexpr char kSwitcherIni[] = "Switcher.ini";
constexpr std::uint32_t kIdentification = 6;

class SessionLink;
SessionLink* theLink = nullptr;  // the hooks run per line: no search among the children

class SessionLink : public QObject {
  Q_OBJECT
 public:
  explicit SessionLink(TMainForm& form) : QObject(&form), f(form) {
    setObjectName(QStringLiteral("SessionLink"));
    theLink = this;
  }
  ~SessionLink() override {
    if (theLink == this) theLink = nullptr;
  }

  QString tcpName() const {
    return QStringLiteral("TCP %1:%2").arg(CanonicalIp(f.Edit6->text())).arg(f.tcpPort());
  }
  static QString comName(int port) {
    return QStringLiteral("COM%1 %2").arg(port).arg(platform::comDevicePath(port));
  }
  QString linkName() const { return f.tcpMode() ? tcpName() : comName(f.OpenPort); }

  int drop(const QString& why) {
    const int dropped = queue->stop();
    if (dropped > 0) note(QStringLiteral("%1 commands were not sent: %2").arg(dropped).arg(why));
    return dropped;
  }
  void note(const QString& text) {
    f.MemoSysInfo->appendLine(text);
    log->event(text);
  }

  TMainForm& f;
  sessionlog::SessionLog* log = nullptr;
  engine::CommandQueue* queue = nullptr;
  QLabel* left = nullptr;             // on the Code Group tab: commands still to go
  QString saveDir;                    // where the last list was saved
  bool identifiedLogged = false;      // the identification's first reply is in the log
};

SessionLink* linkOf(const TMainForm& f) { return theLink && &theLink->f == &f ? theLink : nullptr; }

// Esc in any window of the console stops a paced run (the help keys see it as well).
class StopKey : public QObject {
 public:
  StopKey(TMainForm& f, QObject* parent) : QObject(parent), f(f) { qApp->installEventFilter(this); }
  ~StopKey() override { qApp->removeEventFilter(this); }

 protected:
  bool eventFilter(QObject* receiver, QEvent* e) override {
    if (e->type() == QEvent::KeyPress && receiver->isWindowType() &&
        static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape && PacedBacklog(f) > 0)
      StopPacedRun(f, QStringLiteral("stopped"));
    return false;
  }

 private:
  TMainForm& f;
};

void showListMenu(TMainForm& f, TMemo* memo, const QPoint& at, bool withFolder) {
  QMenu menu(memo);
  QAction* copy = menu.addAction(QStringLiteral("Copy"), memo, &QPlainTextEdit::copy);
  copy->setEnabled(memo->textCursor().hasSelection());
  menu.addAction(QStringLiteral("Select All"), memo, &QPlainTextEdit::selectAll);
  menu.addSeparator();
  menu.addAction(QStringLiteral("Save As..."), memo, [&f, memo] { SaveListAs(f, memo); });
  if (withFolder)
    menu.addAction(QStringLiteral("Open log folder"), memo, [&f] { OpenLogFolder(f); });
  menu.exec(memo->viewport()->mapToGlobal(at));
}

}  // namespace

void TMainForm::SetupSessionLog() {
  auto* link = new SessionLink(*this);
  link->log = new sessionlog::SessionLog(link);
  link->log->setObjectName(QStringLiteral("SessionLog"));
  connect(link->log, &sessionlog::SessionLog::writeFailed, this, [this, link](const QString& why) {
    MemoSysInfo->appendLine(QStringLiteral("Session log: cannot write to %1 (%2); the console goes on without it")
                                .arg(link->log->folder(), why));
  });
  connect(link->log, &sessionlog::SessionLog::ownFile, this, [this](const QString& note) {
    MemoSysInfo->appendLine(QStringLiteral("Session log: ") + note);
  });
  link->log->open(sessionlog::SessionLog::settingsFrom(
      ReadSwitcherBool(*this, "Log", "Enabled", true),
      platform::GetPrivateProfileInt("Log", "Days", 30, kSwitcherIni),
      platform::GetPrivateProfileInt("Log", "MaxMB", 100, kSwitcherIni)));

  link->queue = &EngineOf(*this)->queue();
  connect(link->queue, &engine::CommandQueue::note, link, &SessionLink::note);
  link->left = new QLabel(dxTabSheet4);
  link->left->setObjectName(QStringLiteral("LabelCommandsLeft"));
  link->left->setGeometry(205, 416, 100, 20);
  link->left->hide();
  connect(link->queue, &engine::CommandQueue::remainingChanged, link->left, [link](int n) {
    link->left->setText(QStringLiteral("%1 commands left").arg(n));
    link->left->setVisible(n > 0);
  });
  connect(link->queue, &engine::CommandQueue::drained, this, [this] {
    // A running auto sequence owns Busy until it pauses or stops.
    if (AutoRunState() != 1) Busy = 0;
  });
  new StopKey(*this, link);
  // Without a pace nothing waits, and the tree keeps having no menu at all.
  if (link->queue->pace() > 0) {
    auto* stop = new QAction(QStringLiteral("Stop"), TreeView1);
    stop->setObjectName(QStringLiteral("ActionStopRun"));
    TreeView1->addAction(stop);
    TreeView1->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(stop, &QAction::triggered, this, [this] { StopPacedRun(*this, QStringLiteral("stopped")); });
    connect(link->queue, &engine::CommandQueue::remainingChanged, stop, [stop](int n) { stop->setEnabled(n > 0); });
    stop->setEnabled(false);
  }
  connect(this, &TMainForm::identificationFinished, link, [link] { link->identifiedLogged = false; });

  // TCP/IP link events come from the socket; the COM port's from LogComLink. The window is
  // the context, so that its destructor's disconnect keeps the socket's last events out.
  connect(ClientSocket1, &QAbstractSocket::stateChanged, this, [this, link](QAbstractSocket::SocketState s) {
    // Before the reconnection's own handler of `connected` resets its attempt count.
    if (s == QAbstractSocket::ConnectedState)
      link->log->event((TcpRetryAttempt > 0 ? QStringLiteral("reconnected ") : QStringLiteral("opened ")) +
                       link->tcpName());
  });
  connect(ClientSocket1, &QAbstractSocket::disconnected, this, [this, link] {
    const bool lost = TcpLinkWanted;  // Close ends the wish before the socket closes
    link->log->event((lost ? QStringLiteral("lost ") : QStringLiteral("closed ")) + link->tcpName());
    link->drop(lost ? QStringLiteral("the link was lost") : QStringLiteral("the link was closed"));
  });
  connect(ClientSocket1, &QAbstractSocket::errorOccurred, this, [this, link] {
    if (ClientSocket1->state() != QAbstractSocket::ConnectedState)
      link->log->event(QStringLiteral("no link %1: %2").arg(link->tcpName(), ClientSocket1->errorString()));
  });

  const std::pair<TMemo*, bool> lists[] = {{Memo1, false}, {Memo2, false}, {Memo3, false},
                                           {Memo4, false}, {Memo5, true},  {Memo6, true}};
  for (auto [memo, withFolder] : lists) {
    memo->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(memo, &QWidget::customContextMenuRequested, memo,
            [this, memo = memo, withFolder = withFolder](const QPoint& at) {
              showListMenu(*this, memo, at, withFolder);
            });
  }
}

qint64 LogSent(TMainForm& f, const QByteArray& line, const QByteArray& how) {
  SessionLink* link = linkOf(f);
  return link ? link->log->sent(line, link->linkName(), how) : TMemo::kNow;
}

qint64 LogReceived(TMainForm& f, const QByteArray& line) {
  SessionLink* link = linkOf(f);
  if (!link) return TMemo::kNow;
  const qint64 at = link->log->received(line);
  // The type answer, which comes first; not the version or a late line under the same target.
  if (f.ReplyTarget == kIdentification && !link->identifiedLogged) {
    link->identifiedLogged = true;
    link->log->event(QStringLiteral("identified: ") + LinkBytesText(line));
  }
  return at;
}

void LogComLink(TMainForm& f, LinkChange change, int port) {
  if (engine::SwitcherEngine* e = EngineOf(f)) e->linkEvent();
  SessionLink* link = linkOf(f);
  if (!link) return;
  static const char* const kWords[] = {"opened ", "closed ", "lost ", "reconnected "};
  link->log->event(QLatin1String(kWords[static_cast<int>(change)]) + SessionLink::comName(port));
  if (change == LinkChange::Closed) link->drop(QStringLiteral("the link was closed"));
  if (change == LinkChange::Lost) link->drop(QStringLiteral("the link was lost"));
}

bool PacedSend(TMainForm& f, const QByteArray& command, std::uint32_t replyTarget) {
  return PacedSendWith(f, command, [&f, replyTarget](const QByteArray& c) {
    if (replyTarget != kKeepReplyTarget) f.ReplyTarget = replyTarget;
    return SendCode(f, c);
  });
}

bool PacedSendWith(TMainForm& f, const QByteArray& command, PacedSender send, std::function<void()> dropped) {
  SessionLink* link = linkOf(f);
  if (!link) return send(command);
  return link->queue->sendOwn(command, std::move(send), std::move(dropped));
}

int PacedPace(const TMainForm& f) {
  const SessionLink* link = linkOf(f);
  return link ? link->queue->pace() : 0;
}

int PacedBacklog(const TMainForm& f) {
  const SessionLink* link = linkOf(f);
  return link ? link->queue->backlog() : 0;
}

int StopPacedRun(TMainForm& f, const QString& why) {
  SessionLink* link = linkOf(f);
  return link ? link->drop(why) : 0;
}

bool ReadSwitcherBool(TMainForm& f, const char* section, const char* key, bool defaultValue) {
  bool ok = true;
  const bool value = platform::GetPrivateProfileBool(section, key, defaultValue, kSwitcherIni, &ok);
  if (!ok) {
    constexpr int kShown = 64;
    const QString given = QString::fromUtf8(
        platform::GetPrivateProfileString(section, key, "", kShown, kSwitcherIni));
    f.MemoSysInfo->appendLine(QStringLiteral("Switcher.ini: [%1] %2=%3 is not 1/0, true/false, "
                                             "yes/no or on/off; %4 is used")
                                  .arg(QLatin1String(section), QLatin1String(key), given)
                                  .arg(defaultValue ? 1 : 0));
  }
  return value;
}

bool SaveListAs(TMainForm& f, TMemo* memo) {
  SessionLink* link = linkOf(f);
  if (!link || !memo) return false;
  if (link->saveDir.isEmpty()) link->saveDir = QDir::homePath();
  const QString path = platform::prompts().saveFileName(
      {&f, QStringLiteral("Save As"), link->saveDir, QStringLiteral("Text files (*.txt);;All files (*)"),
       QStringLiteral("txt")});
  if (path.isEmpty()) return false;
  link->saveDir = QFileInfo(path).absolutePath();
  const QStringList lines = memo->lines();
  const QList<qint64> times = memo->lineTimes();
  QByteArray text;
  for (int i = 0; i < lines.size(); ++i)
    text += (sessionlog::formatTime(times.value(i)) + QLatin1Char(' ') + lines[i] + QLatin1Char('\n')).toUtf8();
  QSaveFile out(path);
  if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
    platform::showMessage(&f, QStringLiteral("Cannot save %1: %2").arg(path, out.errorString()),
                          QStringLiteral("Error"), platform::Icon::Stop);
    return false;
  }
  return true;
}

void OpenLogFolder(TMainForm& f) {
  SessionLink* link = linkOf(f);
  if (!link) return;
  const QString dir = link->log->folder();
  if (!link->log->isOpen()) {
    platform::showMessage(&f,
                          QStringLiteral("The session log is off ([Log] Enabled=0 in Switcher.ini).\n"
                                         "Its folder is %1").arg(dir),
                          QStringLiteral("Message"), platform::Icon::Information);
    return;
  }
  QDir().mkpath(dir);  // nothing may have been written yet
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(dir)))
    platform::showMessage(&f,
                          QStringLiteral("No file manager could be started to show the log folder.\n"
                                         "The session log is in %1").arg(dir),
                          QStringLiteral("Message"), platform::Icon::Information);
}

#include "SessionLogLink.moc"
