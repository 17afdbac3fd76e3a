// What the engine learns of the switcher under the window: the matrix size of its type
// reply, and the link and identification state the window reports.

#include <QtTest>
#include <QtWidgets>

#include "EngineFrontEnd.h"
#include "SwitcherEngine.h"
#include "SwitcherModel.h"
#include "TestSupport.h"

class TestSwitcherInfo : public QObject {
  Q_OBJECT
 private slots:
  void init() { prompts.install(); }
  void cleanup() {
    DestroyForms();
    QVERIFY2(prompts.unexpected.isEmpty(), qPrintable(prompts.unexpected.join('\n')));
  }
  void matrixSize_data();
  void matrixSize();
  void identifiedOverSerial();

 private:
  FakePrompts prompts{FakePrompts::Mode::Scripted};
};

void TestSwitcherInfo::matrixSize_data() {
  QTest::addColumn<QString>("reply");
  QTest::addColumn<int>("inputs");  // 0: not a size
  QTest::addColumn<int>("outputs");
  QTest::newRow("square") << "MATRIX 16X16" << 16 << 16;
  QTest::newRow("blanks and a small x") << "  MATRIX 8x4 " << 8 << 4;
  QTest::newRow("three digits") << "MATRIX 999X256" << 999 << 256;
  QTest::newRow("zero inputs") << "MATRIX 0X16" << 0 << 0;
  QTest::newRow("four digits") << "MATRIX 1000X16" << 0 << 0;
  QTest::newRow("other words") << "Version 1.0" << 0 << 0;
  QTest::newRow("trailing text") << "MATRIX 16X16 rev B" << 0 << 0;
  // Where a parser by hand goes wrong.
  QTest::newRow("tabs and a line end") << "\tMATRIX\t16X8\r\n" << 16 << 8;
  QTest::newRow("leading text") << "THE MATRIX 16X16" << 0 << 0;
  QTest::newRow("lower case") << "matrix 16x16" << 0 << 0;
  QTest::newRow("no blank after the word") << "MATRIX16X16" << 0 << 0;
  QTest::newRow("a sign") << "MATRIX +16X16" << 0 << 0;
  QTest::newRow("wraps to 16 in 32 bits") << "MATRIX 4294967312X16" << 0 << 0;
  QTest::newRow("zero outputs") << "MATRIX 16X000" << 0 << 0;
  QTest::newRow("no outputs") << "MATRIX 16X" << 0 << 0;
  QTest::newRow("other digits") << QString::fromUtf8("MATRIX \u0661\u0666X16") << 0 << 0;
  QTest::newRow("no-break space") << QString::fromUtf8("MATRIX\u00a016X16") << 0 << 0;
}

void TestSwitcherInfo::matrixSize() {
  QFETCH(QString, reply);
  QFETCH(int, inputs);
  QFETCH(int, outputs);
  int i = 0, o = 0;
  QCOMPARE(model::ParseMatrixSize(reply, &i, &o), inputs != 0);
  QCOMPARE(i, inputs);
  QCOMPARE(o, outputs);
}

void TestSwitcherInfo::identifiedOverSerial() {
  SimPtySwitcher sw;
  QVERIFY(sw.ok());
  sw.core = sim::SwitcherCore(16, 8);
  writeSwitcherIni("", {sw.slavePath});
  CreateForms();  // the start-up search opens COM1 and identifies
  engine::SwitcherEngine* info = EngineOf(*MainForm);
  QVERIFY(info);
  QSignalSpy identified(info, &engine::SwitcherEngine::identifiedChanged);
  QSignalSpy link(info, &engine::SwitcherEngine::linkChanged);
  QVERIFY(QSignalSpy(MainForm, &TMainForm::identificationFinished).wait(10000));
  QCOMPARE(identified.count(), 1);
  QCOMPARE(info->model(), QStringLiteral("MATRIX 16X8"));
  QVERIFY(info->version().startsWith("Version switcher-sim"));
  QCOMPARE(info->inputs(), 16);
  QCOMPARE(info->outputs(), 8);
  QVERIFY(info->ready());
  QCOMPARE(info->linkName(), QStringLiteral("COM1 ") + sw.slavePath);
  QCOMPARE(link.count(), 1);

  MainForm->ButtonCloseComClick();
  QTRY_COMPARE(link.count(), 2);
  QCOMPARE(link.last().at(0).toBool(), false);
  QVERIFY(!info->ready());
  QCOMPARE(info->model(), QStringLiteral("MATRIX 16X8"));  // kept for the bridges' device data
}

QTEST_MAIN(TestSwitcherInfo)
#include "tst_switcherinfo.moc"
