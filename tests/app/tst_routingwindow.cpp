// Routing on the real window against the simulator: the table behind the grid (audio marks,
// names in the accessible names and the output-port dialog), the grid's context menu, the
// Names dialog, and a snapshot captured, scrambled and recalled from the code tree.
#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include "CodeTreeView.h"
#include "EngineFrontEnd.h"
#include "NamesDialog.h"
#include "Outport.h"
#include "Protects.h"
#include "RoutingTable.h"
#include "RoutingView.h"
#include "SwitcherEngine.h"
#include "TestSupport.h"
#include "Widgets.h"

namespace {
constexpr int kWaitMs = 5000;

TRouting* router() { return MainForm->findChild<TRouting*>(QString(), Qt::FindDirectChildrenOnly); }

// Runs act once a pop-up menu or modal window of type T is up.
template <typename T>
void whenShown(std::function<void(T*)> act) {
  auto* poll = new QTimer(qApp);
  QObject::connect(poll, &QTimer::timeout, qApp, [poll, act] {
    T* w = qobject_cast<T*>(QApplication::activePopupWidget());
    if (!w) w = qobject_cast<T*>(QApplication::activeModalWidget());
    if (!w) return;
    poll->stop();
    poll->deleteLater();
    act(w);
  });
  poll->start(5);
}

names::Names Named(std::initializer_list<std::tuple<names::Kind, int, const char*>> list) {
  names::Names n;
  for (const auto& [kind, number, name] : list) n.set(kind, number, QString::fromUtf8(name));
  return n;
}
}  // namespace

class TestRoutingWindow : public QObject {
  Q_OBJECT
  FakePrompts prompts{FakePrompts::Mode::Scripted};
  std::unique_ptr<SimTcpSwitcher> sw;

  // Sends cmd as the Custom Code tab would; its route reports come back to the window.
  void send(const QByteArray& cmd) {
    MainForm->ReplyTarget = 3;
    SendCode(*MainForm, cmd);
    QVERIFY(QTest::qWaitFor([&] { return sw->commands.endsWith(cmd); }, kWaitMs));
  }

 private slots:
  void initTestCase() {
    QFile::remove(platform::profilePath("Names.ini"));
    QVERIFY(beginLive(prompts, sw, SimTcpSwitcher::Mode::Answer));
  }
  void cleanupTestCase() { QCOMPARE(endLive(prompts, sw), QStringList()); }

  void marksAndNames_data() {
    QTest::addColumn<QByteArray>("route");  // for output 12, after "5B12."
    QTest::addColumn<bool>("named");
    QTest::addColumn<QString>("accessible");
    QTest::addColumn<QString>("item5");
    QTest::addColumn<QString>("nameLine");  // empty: hidden
    QTest::addRow("no names, one input: as ever") << QByteArray() << false << "Output 12, input 5" << "5" << "";
    QTest::addRow("audio breakaway") << QByteArray("7A12.") << false << "Output 12, input 5, audio input 7" << "5" << "";
    QTest::addRow("audio closed") << QByteArray("0A12.") << false << "Output 12, input 5, audio input 0" << "5" << "";
    QTest::addRow("names") << QByteArray("7A12.") << true
                           << "Output 12 Projector left, input 5 Camera 5, audio input 7 Mic"
                           << "5  Camera 5" << "Projector left";
  }
  void marksAndNames() {
    QFETCH(QByteArray, route);
    QFETCH(bool, named);
    QFETCH(QString, accessible);
    QFETCH(QString, item5);
    QFETCH(QString, nameLine);
    QVERIFY(router()->setNames(named ? Named({{names::Kind::Input, 5, "Camera 5"},
                                               {names::Kind::Input, 7, "Mic"},
                                               {names::Kind::Output, 12, "Projector left"}})
                                      : names::Names()));
    send("5B12.");
    if (!route.isEmpty()) send(route);
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->OutPort[12]->accessibleName(), accessible, kWaitMs);
    QString item, line;
    int index = -1;
    whenShown<QDialog>([&](QDialog*) {
      (void)QTest::qWaitFor([] { return Form2->ComboBox2->currentIndex() == 5; });
      index = Form2->ComboBox2->currentIndex();
      item = Form2->ComboBox2->itemText(5);
      line = Form2->LabelOutputName->isVisible() ? Form2->LabelOutputName->text() : "";
      Form2->reject();
    });
    MainForm->OutPort[12]->click();
    QCOMPARE(index, 5);
    QCOMPARE(item, item5);
    QCOMPARE(line, nameLine);
  }

  // A protect held by a remote front end marks the button and names its holder; the operator
  // is not bound by it.
  void protectMark_data() {
    QTest::addColumn<int>("output");
    QTest::addColumn<int>("step");  // 0 nothing protected, 1 a panel protects, 2 and releases, 3 SW-P-08 takes it over
    QTest::addColumn<QString>("holder");  // empty: no mark
    QTest::addRow("nothing protected: as ever") << 14 << 0 << "";
    QTest::addRow("a panel's protect") << 14 << 1 << "panel 10.0.0.9:4000";
    QTest::addRow("released") << 14 << 2 << "";
    QTest::addRow("taken over") << 14 << 3 << "SW-P-08 10.0.0.8:5000 (device 3)";
    QTest::addRow("the first output") << 1 << 1 << "panel 10.0.0.9:4000";
    QTest::addRow("the last output") << 256 << 1 << "panel 10.0.0.9:4000";
  }
  void protectMark() {
    QFETCH(int, output);
    QFETCH(int, step);
    QFETCH(QString, holder);
    QVERIFY(router()->setNames({}));
    const QByteArray n = QByteArray::number(output);
    const QString on = QString::number(output);
    send("5B" + n + '.');
    TOutPortButton* button = MainForm->OutPort[size_t(output)];
    QTRY_COMPARE_WITH_TIMEOUT(button->accessibleName(), "Output " + on + ", input 5", kWaitMs);
    const QImage plain = button->grab().toImage();
    routing::Protects& held = EngineOf(*MainForm)->protects();
    if (step >= 1) QVERIFY(held.protect(output, {"10.0.0.9:4000", "panel 10.0.0.9:4000"}));
    if (step == 2) QVERIFY(held.release(output, "10.0.0.9:4000"));
    if (step == 3) QVERIFY(held.protect(output, {"10.0.0.8:5000", "SW-P-08 10.0.0.8:5000 (device 3)", 3}, true));
    const QString tip = "Output " + on + "\nVideo: input 5\nAudio: input 5";
    QCOMPARE(button->protectMarked(), !holder.isEmpty());
    QCOMPARE(button->tipText(), holder.isEmpty() ? tip : tip + "\nProtected by " + holder);
    QCOMPARE(button->accessibleName(), "Output " + on + ", input 5" + (holder.isEmpty() ? QString() : ", protected by " + holder));
    QCOMPARE(button->grab().toImage() == plain, holder.isEmpty());
    QCOMPARE(button->caption(), QString("5"));
    // The operator's own route goes all the same.
    send("7B" + n + '.');
    QTRY_COMPARE_WITH_TIMEOUT(button->caption(), QString("7"), kWaitMs);
    for (const char* label : {"10.0.0.9:4000", "10.0.0.8:5000"}) held.forget(label);
    QVERIFY(!button->protectMarked());
  }

  // Right click or the Menu key; a refused name asks again, the next one is stored.
  void contextMenuNamesAnOutput_data() {
    QTest::addColumn<bool>("menuKey");
    QTest::addRow("right click") << false;
    QTest::addRow("Menu key") << true;
  }
  void contextMenuNamesAnOutput() {
    QFETCH(bool, menuKey);
    QVERIFY(router()->setNames({}));
    send("5B12.");
    QStringList items;
    whenShown<QMenu>([&](QMenu* menu) {
      for (QAction* a : menu->actions()) items << a->text();
      whenShown<QInputDialog>([&](QInputDialog* ask) {
        ask->setTextValue("tab\there");
        ask->accept();
        whenShown<QInputDialog>([](QInputDialog* again) {
          again->setTextValue(" Projector left ");
          again->accept();
        });
      });
      menu->setActiveAction(menu->actions().first());
      QTest::keyClick(menu, Qt::Key_Return);
    });
    prompts.expect("A name cannot hold control characters such as tabs or line breaks.", "Error");
    if (menuKey) {
      QTest::keyClick(MainForm->OutPort[12], Qt::Key_Menu);
    } else {
      QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5), MainForm->OutPort[12]->mapToGlobal(QPoint(5, 5)));
      QApplication::sendEvent(MainForm->OutPort[12], &click);
    }
    QCOMPARE(items, (QStringList{"Name output 12…", "Name input 5…", "Names…", "", "Capture routing"}));
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(platform::GetPrivateProfileString("Outputs", "12", "", 80, "Names.ini"), QByteArray("Projector left"));
    QCOMPARE(MainForm->OutPort[12]->accessibleName(), QString("Output 12 Projector left, input 5"));
  }

  // Import takes the good rows and says which it skipped; nothing is written before OK.
  void namesDialogImports() {
    QVERIFY(router()->setNames({}));
    QTemporaryDir dir;
    const QString csv = dir.filePath("names.csv");
    QFile f(csv);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("kind,number,name\ninput,5,\"Camera, 5\"\noutput,300,Nowhere\n");
    f.close();
    prompts.openAnswers.push_back(csv);
    prompts.expect("1 rows imported from names.csv.\n\n1 rows skipped:\nRow 3: the number \"300\" is not from 1 to 256.",
                   "Import CSV");
    QString shown, before;
    whenShown<TNamesDialog>([&](TNamesDialog* d) {
      d->ImportButton->click();
      shown = d->InputsTable->item(4, 1)->text();
      d->Filter->setText("camera");
      before = MainForm->OutPort[5]->accessibleName();
      QCOMPARE(d->InputsTable->isRowHidden(4), false);
      QCOMPARE(d->InputsTable->isRowHidden(5), true);
      d->OkButton->click();
    });
    router()->openNamesDialog();
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(shown, QString("Camera, 5"));
    QVERIFY(!before.contains("Camera"));
    QCOMPARE(router()->names().name(names::Kind::Input, 5), QString("Camera, 5"));
    QCOMPARE(platform::GetPrivateProfileString("Inputs", "5", "", 80, "Names.ini"), QByteArray("Camera, 5"));
  }

  // A panel's (or MQTT's) rename while the dialog is open survives its OK, beside the desk's edit.
  void namesDialogKeepsOutsideRenames() {
    QVERIFY(router()->setNames(Named({{names::Kind::Input, 3, "Old 3"}, {names::Kind::Output, 7, "Old 7"}})));
    bool outsideWritten = false;
    whenShown<TNamesDialog>([&](TNamesDialog* d) {
      d->InputsTable->item(2, 1)->setText("Desk 3");
      names::Names outside = router()->names();
      outside.set(names::Kind::Output, 7, "Panel 7");
      outsideWritten = router()->setNames(outside);
      d->OkButton->click();
    });
    router()->openNamesDialog();
    QVERIFY(outsideWritten);
    QCOMPARE(router()->names().name(names::Kind::Input, 3), QString("Desk 3"));
    QCOMPARE(router()->names().name(names::Kind::Output, 7), QString("Panel 7"));
    QCOMPARE(platform::GetPrivateProfileString("Inputs", "3", "", 80, "Names.ini"), QByteArray("Desk 3"));
    QCOMPARE(platform::GetPrivateProfileString("Outputs", "7", "", 80, "Names.ini"), QByteArray("Panel 7"));
  }

  // Entries the console cannot show are named once, under the tables.
  void namesDialogListsKeptEntries() {
    QTemporaryDir dir;
    const QString file = dir.filePath("Names.ini");
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[Inputs]\n3=" + QByteArray(65, 'x') + "\n5=Cam\n[Outputs]\n300=Far\n");
    f.close();
    TNamesDialog d(names::Names::load(file), MainForm);
    auto* kept = d.findChild<QLabel*>("KeptLabel");
    QVERIFY(kept);
    QCOMPARE(kept->text(), QString("kept, not shown: input 3 (name longer than 64 characters); "
                                   "output 300 (key is not a number from 1 to 256)"));
    QCOMPARE(d.InputsTable->item(4, 1)->text(), QString("Cam"));
    TNamesDialog plain(names::Names(), MainForm);
    QVERIFY(!plain.findChild<QLabel*>("KeptLabel"));
  }

  // Ctrl+Shift+S, scramble the switcher, Execute the group: the routing is back.
  void snapshotRoundTrip() {
    QVERIFY(router()->setNames({}));
    QRandomGenerator rng(7);
    for (int o = 1; o <= kOutputCount; ++o) {
      const int v = rng.bounded(8) == 0 ? 0 : int(rng.bounded(1, 257));
      const int a = rng.bounded(3) == 0 ? v : int(rng.bounded(0, 257));
      sw->core.execute(QByteArray::number(v) + 'V' + QByteArray::number(o) + '.');
      sw->core.execute(QByteArray::number(a) + 'A' + QByteArray::number(o) + '.');
    }
    std::vector<sim::SwitcherCore::Route> captured;
    for (int o = 1; o <= kOutputCount; ++o) captured.push_back(sw->core.route(o));

    QSignalSpy finished(router(), &TRouting::captureFinished);
    MainForm->CodeTreeChanged = 0;
    const int groups = MainForm->RootNode->childCount();
    MainForm->show();
    MainForm->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(MainForm));
    QTest::keyClick(MainForm, Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(finished.count() == 1 || finished.wait(kWaitMs));
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    QCOMPARE(MainForm->RootNode->childCount(), groups + 1);
    CodeTreeItem* group = MainForm->TreeView1->selectedNode();
    QCOMPARE(group, TCodeTreeView::nodeOf(MainForm->RootNode->child(groups)));
    QVERIFY(QRegularExpression("^Routing: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d$").match(group->text(0)).hasMatch());
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(1));
    for (int i = 0; i < group->childCount(); ++i)
      QVERIFY(TCodeTreeView::nodeOf(group->child(i))->record->code.size() <= 64);

    sw->core.execute("All$.");
    sw->core.execute("9All.");
    const int sentBefore = int(sw->commands.size());
    MainForm->Button12Click();
    QTRY_COMPARE_WITH_TIMEOUT(int(sw->commands.size()), sentBefore + group->childCount(), kWaitMs);
    for (int o = 1; o <= kOutputCount; ++o) QCOMPARE(sw->core.route(o), captured[size_t(o - 1)]);
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->OutPort[kOutputCount]->caption(),
                              QString::number(captured.back().video), kWaitMs);
  }
};

QTEST_MAIN(TestRoutingWindow)
#include "tst_routingwindow.moc"
