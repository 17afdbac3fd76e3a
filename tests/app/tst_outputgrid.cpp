// The output grid and the output-port dialog on the real window, against the simulator
// core on loopback TCP.
#include <QButtonGroup>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "Memo.h"
#include "ModalSupport.h"
#include "Outport.h"
#include "TestSupport.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {
constexpr int kWaitMs = 5000;

// The operator's choice in a list: arrow keys, so that the list reports its own change.
void pick(QComboBox* list, int index) {
  QTest::keyClick(list, Qt::Key_Home);
  for (int i = 0; i < index; ++i) QTest::keyClick(list, Qt::Key_Down);
}

struct DialogState {
  int signal, video, audio;
  bool videoEnabled, audioEnabled, okEnabled;
  bool operator==(const DialogState& o) const {
    return signal == o.signal && video == o.video && audio == o.audio &&
           videoEnabled == o.videoEnabled && audioEnabled == o.audioEnabled &&
           okEnabled == o.okEnabled;
  }
};
DialogState dialogState() {
  return {Form2->itemIndex(), Form2->ComboBox2->currentIndex(), Form2->ComboBox1->currentIndex(),
          Form2->ComboBox2->isEnabled(), Form2->ComboBox1->isEnabled(), Form2->BitBtn1->isEnabled()};
}
char* toString(const DialogState& s) {
  return QTest::toString(QStringLiteral("signal %1 video %2%3 audio %4%5 ok %6")
                             .arg(s.signal).arg(s.video).arg(s.videoEnabled ? "" : " (off)")
                             .arg(s.audio).arg(s.audioEnabled ? "" : " (off)").arg(s.okEnabled));
}
const DialogState kAfterUse{-1, 0, 0, false, false, false};
}  // namespace

class TestOutputGrid : public QObject {
  Q_OBJECT
  FakePrompts prompts{FakePrompts::Mode::Scripted};
  std::unique_ptr<SimTcpSwitcher> sw;

 private slots:
  void init() {
    prompts.reset();
    platform::setPrompts(&prompts);
    sw = std::make_unique<SimTcpSwitcher>(SimTcpSwitcher::Mode::Silent);
    qputenv(kTcpPortEnv, QByteArray::number(sw->port()));
    writeSwitcherIni("[TCP]\nConnect=1\nIP=127.0.0.1\n");
    CreateForms();
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->socketActive(), kWaitMs);
  }
  void cleanup() {
    DestroyForms();
    sw.reset();
    platform::setPrompts(nullptr);
    QCOMPARE(prompts.unexpected, QStringList());
  }

  // One use of the dialog with no reply from the switcher: the operator's choices, the
  // way it closes, and what goes out.
  void oneUse_data() {
    QTest::addColumn<int>("output");
    QTest::addColumn<int>("video");   // picked in the video list first (-1: untouched)
    QTest::addColumn<int>("audio");   // then in the audio list
    QTest::addColumn<int>("signal");  // then this signal (-1: none)
    QTest::addColumn<QString>("close");  // "ok", "cancel" or "closebox"
    QTest::addColumn<QList<QByteArray>>("sent");  // after the status query
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QByteArray>("reply");  // the switcher's line while the dialog is open
    using L = QList<QByteArray>;
    QTest::addRow("cancel") << 12 << 5 << -1 << 0 << "cancel" << L{} << "x" << QByteArray();
    QTest::addRow("close box") << 12 << 5 << -1 << 0 << "closebox" << L{} << "x" << QByteArray();
    QTest::addRow("AV") << 12 << 5 << -1 << 0 << "ok" << L{"5B12."} << "x" << QByteArray();
    QTest::addRow("video") << 12 << 5 << -1 << 1 << "ok" << L{"5V12."} << "x" << QByteArray();
    QTest::addRow("audio") << 12 << -1 << 7 << 2 << "ok" << L{"7A12."} << "x" << QByteArray();
    QTest::addRow("audio, audio list at 0, video list not") << 12 << 5 << -1 << 2 << "ok" << L{"0A12."} << "x" << QByteArray();
    QTest::addRow("both at 0, AV: closed") << 12 << -1 << -1 << 0 << "ok" << L{"12$."} << "0" << QByteArray();
    QTest::addRow("both at 0, video: closed") << 12 << -1 << -1 << 1 << "ok" << L{"12$."} << "0" << QByteArray();
    QTest::addRow("both at 0, audio: closed") << 12 << -1 << -1 << 2 << "ok" << L{"12$."} << "0" << QByteArray();
    QTest::addRow("first use, input but no signal: nothing") << 12 << 9 << -1 << -1 << "ok" << L{} << "x" << QByteArray();
    // A list left with no selection (an input beyond 256) names no input to route.
    QTest::addRow("reply beyond 256: nothing") << 12 << -1 << -1 << -1 << "ok" << L{} << "x" << QByteArray("VIDEO: 300 > 012\r\n");
    QTest::addRow("output 256") << 256 << 3 << -1 << 0 << "ok" << L{"3B256."} << "x" << QByteArray();
  }
  void oneUse() {
    QFETCH(int, output);
    QFETCH(int, video);
    QFETCH(int, audio);
    QFETCH(int, signal);
    QFETCH(QString, close);
    QFETCH(QList<QByteArray>, sent);
    QFETCH(QString, caption);
    QFETCH(QByteArray, reply);
    MainForm->OutPort[output]->setCaption("x");
    DialogState opened{};
    QString title;
    whenModal([&](QWidget*) {
      opened = dialogState();
      title = Form2->windowTitle();
      if (!reply.isEmpty()) {
        sw->send(reply);
        if (!QTest::qWaitFor([] { return MainForm->Memo6->lineCount() == 1; }, kWaitMs))
          qWarning("the reply did not arrive");
      }
      if (video >= 0) pick(Form2->ComboBox2, video);
      if (audio >= 0) pick(Form2->ComboBox1, audio);
      if (signal >= 0) Form2->RadioGroup1Items->button(signal)->click();
      if (close == "ok") Form2->BitBtn1->click();
      if (close == "cancel") Form2->BitBtn2->click();
      if (close == "closebox") Form2->close();
    }, Form2);
    MainForm->OutPort[output]->click();
    QVERIFY(!Form2->isVisible());
    // The caption of a closed output is "0" before any reply.
    QCOMPARE(MainForm->OutPort[output]->caption(), reply.isEmpty() ? caption : QString("300"));
    QCOMPARE(title, QStringLiteral("OutPort %1").arg(output));
    // The first use opens with both lists enabled and nothing chosen.
    QCOMPARE(opened, (DialogState{-1, 0, 0, true, true, false}));
    QCOMPARE(dialogState(), kAfterUse);
    QCOMPARE(MainForm->ReplyTarget, caption == "0" ? 0u : 5u);
    const QList<QByteArray> all = QList<QByteArray>{"Status" + QByteArray::number(output) + "."} + sent;
    QTRY_COMPARE_WITH_TIMEOUT(sw->commands, all, kWaitMs);
    QStringList log;
    for (const QByteArray& c : all) log << QString::fromLatin1(c);
    QCOMPARE(MainForm->Memo5->lines(), log);
  }

  void busyGridIgnoresClicks() {
    MainForm->Busy = 1;
    MainForm->OutPort[5]->click();
    QVERIFY(!Form2->isVisible());
    QCOMPARE(MainForm->ReplyTarget, 0u);
    QCOMPARE(MainForm->Memo5->lineCount(), 0);
  }

  // The switcher's own reply fills the dialog; OK routes, and the grid shows the answer.
  // The reply to that route command, handled while the dialog is hidden, must not show up
  // in the next use for another output.
  void filledFromTheSwitcherThenRouted() {
    sw->mode = SimTcpSwitcher::Mode::Answer;
    sw->core.execute("5V7.");  // output 7: video from 5, audio from 7
    DialogState filled{};
    whenModal([&](QWidget*) {
      if (!QTest::qWaitFor([] { return Form2->ComboBox1->currentIndex() == 7; }, kWaitMs))
        qWarning("no reply filled the dialog");
      filled = dialogState();
      pick(Form2->ComboBox1, 9);
      Form2->BitBtn1->click();
    }, Form2);
    MainForm->OutPort[7]->click();
    // The last line, AUDIO, decides the choice; VIDEO set the video list and the caption.
    QCOMPARE(filled, (DialogState{2, 5, 7, false, true, true}));
    QCOMPARE(Form2->Label2->text(), QStringLiteral("Input Video Port ："));
    QTRY_COMPARE_WITH_TIMEOUT(sw->commands, (QList<QByteArray>{"Status7.", "9A7."}), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->Memo6->lineCount(), 4, kWaitMs);
    QCOMPARE(sw->core.route(7).audio, 9);
    QCOMPARE(MainForm->OutPort[7]->caption(), QString("5"));

    sw->mode = SimTcpSwitcher::Mode::Silent;
    DialogState next{};
    whenModal([&](QWidget*) {
      next = dialogState();
      Form2->BitBtn2->click();
    }, Form2);
    MainForm->OutPort[8]->click();
    QCOMPARE(next, kAfterUse);
  }
};

QTEST_MAIN(TestOutputGrid)
#include "tst_outputgrid.moc"
