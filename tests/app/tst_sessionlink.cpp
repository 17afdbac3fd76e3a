// The session log and the paced send queue in the real main window against the simulator:
// a paced Execute keeps its gaps while the window answers clicks, Stop, Esc and Close drop
// the rest, a burst reaches the receive list unchanged, and Save As writes the lines with
// the log's times.
#include <QAction>
#include <QLabel>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>

#include "CodeTreeView.h"
#include "Commands.h"
#include "LogText.h"
#include "Memo.h"
#include "SessionLog.h"
#include "SessionLogLink.h"
#include "TestSupport.h"

class TestSessionLink : public QObject {
  Q_OBJECT
 private slots:
  void init() {
    prompts.reset();
    platform::setPrompts(&prompts);
    sw = std::make_unique<SimTcpSwitcher>();
    QVERIFY(startOnTcp(*sw, "[Link]\nPace=50\n"));
  }
  void cleanup() { QCOMPARE(endLive(prompts, sw), QStringList()); }
  void pacedRun_data();
  void pacedRun();
  void burstAndSaveAs();
  void logFolderNotWritable();
  void loggedAsItWentOut_data();
  void loggedAsItWentOut();

 private:
  FakePrompts prompts{FakePrompts::Mode::Scripted};
  std::unique_ptr<SimTcpSwitcher> sw;
};

void TestSessionLink::pacedRun_data() {
  QTest::addColumn<QString>("end");
  QTest::addColumn<QString>("why");  // the System memo's reason for the commands dropped
  QTest::newRow("to the last") << "" << "";
  QTest::newRow("tree's Stop") << "stop" << "stopped";
  QTest::newRow("Esc") << "esc" << "stopped";
  QTest::newRow("Close") << "close" << "the link was closed";
}

void TestSessionLink::pacedRun() {
  QFETCH(QString, end);
  QFETCH(QString, why);
  constexpr int kItems = 20, kPace = 50;
  TMainForm* f = MainForm;
  f->show();
  QTemporaryDir dir;
  QByteArray cgf = "<CodeTree User=\"u\" Description=\"d\">\r\n<0 Type=\"2\" User=\"G\" Description=\"g\" Code=\"\"/>\r\n";
  QList<QByteArray> want;
  for (int i = 1; i <= kItems; ++i) {
    want << QByteArray::number(i) + "V" + QByteArray::number(i) + ".";
    cgf += "<" + QByteArray::number(i) + " Type=\"3\" User=\"I\" Description=\"i\" Code=\"" + want.last() + "\"/>\r\n";
  }
  cgf += "</CodeTree>\r\n";
  QFile file(dir.filePath("run.cgf"));
  QVERIFY(file.open(QIODevice::WriteOnly) && file.write(cgf) == cgf.size());
  file.close();
  QCOMPARE(f->LoadCodeTree(file.fileName()), QString());
  f->TreeView1->setCurrentItem(f->RootNode->child(0));
  sw->commands.clear();
  const int sentBefore = f->Memo5->lineCount();
  f->Button12Click();
  auto* left = f->findChild<QLabel*>("LabelCommandsLeft");
  QVERIFY(f->Busy && left && !left->isHidden());
  QTRY_VERIFY(sw->commands.size() >= 3);
  // The window answers clicks meanwhile.
  QTabBar* tabs = f->PageControl->tabBar();
  QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(5).center());
  QCOMPARE(f->PageControl->currentIndex(), 5);
  QVERIFY(PacedBacklog(*f) > 0);
  if (end == "stop") f->TreeView1->findChild<QAction*>("ActionStopRun")->trigger();
  if (end == "esc") QTest::keyClick(f->windowHandle(), Qt::Key_Escape);
  if (end == "close") f->ButtonCloseComClick();
  QTRY_COMPARE_WITH_TIMEOUT(PacedBacklog(*f), 0, 5000);
  QTest::qWait(3 * kPace);  // nothing more goes out
  const int sent = f->Memo5->lineCount() - sentBefore;
  QTRY_COMPARE(sw->commands, want.mid(0, sent));
  QVERIFY(!f->Busy && left->isHidden());
  if (why.isEmpty()) {
    QCOMPARE(sent, kItems);
  } else {
    QVERIFY(sent < kItems);
    QVERIFY(f->MemoSysInfo->lines().contains(QStringLiteral("%1 commands were not sent: %2").arg(kItems - sent).arg(why)));
  }
  const QList<qint64> at = f->Memo5->lineTimes().mid(sentBefore);
  for (int i = 1; i < sent; ++i) QVERIFY2(at[i] - at[i - 1] >= kPace, qPrintable(QString::number(at[i] - at[i - 1])));
}

void TestSessionLink::burstAndSaveAs() {
  TMainForm* f = MainForm;
  // Near its cap, so that the burst's own edit trims the oldest lines.
  QStringList old;
  for (int i = 0; i < TMemo::kMaxLines - 100; ++i) old << QString::number(i);
  f->Memo6->setLines(old);
  const QList<QByteArray> burst = sw->core.execute("Status.").split('\n').mid(0, 256);
  f->ReplyTarget = 7;
  sw->send(sw->core.execute("Status."));
  QTRY_COMPARE(f->Memo6->lineCount() == TMemo::kMaxLines && f->Memo6->lines().last() == QString::fromLatin1(burst.last().chopped(1)), true);
  const QStringList lines = f->Memo6->lines();
  QCOMPARE(lines.first(), QStringLiteral("156"));
  for (int i = 0; i < 256; ++i) QCOMPARE(lines[TMemo::kMaxLines - 256 + i], QString::fromLatin1(burst[i].chopped(1)));
  QTemporaryDir dir;
  prompts.saveAnswers.push_back(dir.filePath("received.txt"));
  QVERIFY(SaveListAs(*f, f->Memo6));
  QFile saved(dir.filePath("received.txt"));
  QVERIFY(saved.open(QIODevice::ReadOnly));
  const QList<QByteArray> out = saved.readAll().split('\n');
  const QList<qint64> at = f->Memo6->lineTimes();
  QCOMPARE(out.size(), TMemo::kMaxLines + 1);
  for (int i : {0, TMemo::kMaxLines - 1})
    QCOMPARE(QString::fromUtf8(out[i]), sessionlog::formatTime(at[i]) + " " + lines[i]);
  // The log file holds the same line with the same time.
  auto* log = f->findChild<sessionlog::SessionLog*>("SessionLog");
  const QByteArray logged = QByteArray(out[TMemo::kMaxLines - 1]).replace(29, 1, " < ") + '\n';
  QTRY_VERIFY_WITH_TIMEOUT([&] {
    QFile l(log->fileFor(at.last()));
    return l.open(QIODevice::ReadOnly) && l.readAll().contains(logged);
  }(), 3000);
}

void TestSessionLink::logFolderNotWritable() {
  DestroyForms();
  QTemporaryDir dir;
  QFile blocker(dir.filePath("file"));  // a file where the folder should be: even root fails
  QVERIFY(blocker.open(QIODevice::WriteOnly));
  const QByteArray before = qgetenv("SWITCHER_LOG_DIR");
  qputenv("SWITCHER_LOG_DIR", (blocker.fileName() + "/log").toLocal8Bit());
  QVERIFY(startOnTcp(*sw));
  qputenv("SWITCHER_LOG_DIR", before);
  const auto reports = [] { return MainForm->MemoSysInfo->lines().filter("Session log: cannot write").size(); };
  for (int i = 1; i <= 3; ++i) {
    CodeQueryAllStatus(*MainForm);  // the console goes on sending and reading
    QTRY_COMPARE(MainForm->Memo6->lineCount(), 256 * i);
    QTRY_COMPARE(reports(), 1);
  }
}

void TestSessionLink::loggedAsItWentOut_data() {
  QTest::addColumn<QByteArray>("typed");
  QTest::addColumn<bool>("hex");
  QTest::addColumn<QString>("listed");  // the send list's line, as before
  QTest::addColumn<QByteArray>("logged");
  QTest::newRow("HEX code") << QByteArray("01 41 0d") << true << "01410D(HEX)" << QByteArray("\\x01A\\r   (HEX)");
  QTest::newRow("password") << QByteArray("/+abcdefgh;") << false << "/+abcdefgh;" << QByteArray("/+********;");
  QTest::newRow("HEX password") << QByteArray("2F2B3132333435363738 3B") << true << "2F2B31323334353637383B(HEX)"
                                << QByteArray("/+********;   (HEX)");
}

void TestSessionLink::loggedAsItWentOut() {
  QFETCH(QByteArray, typed);
  QFETCH(bool, hex);
  QFETCH(QString, listed);
  QFETCH(QByteArray, logged);
  TMainForm* f = MainForm;
  QVERIFY(hex ? SendHexCode(*f, typed) : SendCode(*f, typed));
  QCOMPARE(f->Memo5->lines().last(), listed);
  auto* log = f->findChild<sessionlog::SessionLog*>("SessionLog");
  const QString path = log->fileFor(f->Memo5->lineTimes().last());
  QTRY_VERIFY_WITH_TIMEOUT([&] {
    QFile l(path);
    return l.open(QIODevice::ReadOnly) && l.readAll().contains("] " + logged + "\n");
  }(), 3000);
  QFile l(path);
  QVERIFY(l.open(QIODevice::ReadOnly) && !l.readAll().contains("abcdefgh"));
}

QTEST_MAIN(TestSessionLink)
#include "tst_sessionlink.moc"
