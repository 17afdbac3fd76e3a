// What a screen reader or a test tool finds in the real windows: the controls' names, the
// Tab order, and the output grid worked from the keyboard against the simulator core.
#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QAccessible>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QLineEdit>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>

#include "Outport.h"
#include "TestSupport.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {
constexpr int kWaitMs = 5000;

// "Form3/Edit1" in a dialog, "Edit6" in the main window.
QWidget* widgetAt(const QString& path) {
  const QStringList parts = path.split('/');
  QWidget* window = parts.size() > 1 ? MainForm->findChild<QWidget*>(parts[0]) : MainForm;
  return parts.last().isEmpty() ? window : window->findChild<QWidget*>(parts.last());
}
// A list's own name; on Linux a reader takes it from its label and says the value.
QString spokenName(QWidget* w) {
  if (qobject_cast<QComboBox*>(w)) return w->accessibleName();
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
  return a ? a->text(QAccessible::Name).trimmed() : QString();
}
bool isControl(const QWidget* w) {
  return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLineEdit*>(w) ||
         qobject_cast<const QComboBox*>(w) || qobject_cast<const QAbstractScrollArea*>(w) ||
         qobject_cast<const QTabBar*>(w);
}
// The controls a reader would call by nothing or by their object name: all of them, of the
// main window (every tab, both link modes) and of the dialogs it owns, so also each one
// while shown. The parts inside a control (a list's popup, a tree's header) are the control's.
QStringList unnamedControls() {
  QStringList out;
  for (QWidget* w : MainForm->findChildren<QWidget*>()) {
    bool part = false;
    for (QWidget* p = w->parentWidget(); p; p = p->parentWidget()) part |= isControl(p);
    const QString name = spokenName(w);
    if (isControl(w) && !part && (name.isEmpty() || name == w->objectName()))
      out << w->window()->objectName() + "/" + w->objectName();
  }
  return out;
}
// The focus after each of `presses` Tabs.
QStringList tabWalk(int presses) {
  QStringList out;
  for (int i = 0; i < presses; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    out << QApplication::focusWidget()->objectName();
  }
  return out;
}
void showActive(QWidget* w) {
  w->show();
  QApplication::setActiveWindow(w);
  QVERIFY(QTest::qWaitForWindowActive(w));
}
}  // namespace

class TestAccessibility : public QObject {
  Q_OBJECT
  FakePrompts prompts{FakePrompts::Mode::Scripted};
  std::unique_ptr<SimTcpSwitcher> sw;

 private slots:
  void init() {
    QVERIFY(beginLive(prompts, sw, SimTcpSwitcher::Mode::Silent));
  }
  void cleanup() { QCOMPARE(endLive(prompts, sw), QStringList()); }

  // A sample across every tab and dialog.
  void namesByPurpose_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    const char* rows[][2] = {
        {"fcImageBtn226", "Minimise"}, {"fcImageBtn227", "Close"}, {"Edit6", "Switcher IP"},
        {"MemoSysInfo", "System information"}, {"Button51", "Set Password"}, {"InputFrom", "Input from"},
        {"MaskEdit4", "Output to"}, {"DelayTime", "Delay in ms"}, {"Memo2", "Auto feedback"},
        {"Button3", "AV"}, {"Button17", "ENTER"}, {"Button34", "Left"}, {"Button39", "Right"},
        {"Button36", "Backspace"}, {"Memo1", "Keyboard feedback"}, {"Edit2", "Code"},
        {"TreeView1", "Code tree"}, {"Edit3", "User"}, {"Edit4", "Description"}, {"Button50", "New"},
        {"Memo4", "Code Group feedback"}, {"Memo5", "Send list"}, {"Memo6", "Receive list"},
        {"OutPort017", "Output 17, input 0"}, {"Form2/ComboBox2", "Input video port"},
        {"Form2/ComboBox1", "Input audio port"}, {"Form3/Edit1", "Password"}, {"Form4/Memo1", "Command help"},
    };
    for (const auto& r : rows) QTest::addRow("%s", r[0]) << r[0] << r[1];
  }
  void namesByPurpose() {
    QFETCH(QString, path);
    QFETCH(QString, name);
    QVERIFY(widgetAt(path));
    QCOMPARE(spokenName(widgetAt(path)), name);
  }

  void noControlGoesUnnamed() { QCOMPARE(unnamedControls().join(", "), QString()); }

  void outputNameFollowsCaption() {
    for (const char* caption : {"12", "256", "0"}) {
      MainForm->OutPort[200]->setCaption(caption);
      QCOMPARE(spokenName(MainForm->OutPort[200]), QStringLiteral("Output 200, input %1").arg(caption));
    }
    // From the switcher's reply as well.
    MainForm->ReplyTarget = 2;
    sw->send("VIDEO: 009 > 200\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(spokenName(MainForm->OutPort[200]), QString("Output 200, input 9"), kWaitMs);
    Form2->setItemIndex(0);
    QCOMPARE(spokenName(Form2->ComboBox2), QString("Input A/V port"));
  }

  void tabOrderFollowsLayout_data() {
    QTest::addColumn<QString>("start");
    QTest::addColumn<QStringList>("order");  // from start, round to start
    QTest::addRow("Auto tab, signal buttons as one stop")
        << "fcButtonGroup1fcShapeBtnAV"
        << QStringList{"InputFrom", "InputTo", "MaskEdit3", "MaskEdit4", "DelayTime", "Button4", "Memo2", "Button6",
                       "OutPort001", "qt_tabwidget_tabbar", "fcButtonGroup1fcShapeBtnAV"};
    QTest::addRow("Code Group tab")
        << "TreeView1"
        << QStringList{"Edit3", "Edit4", "Edit5", "Button9", "Button10", "Button11", "Button50", "Button2",
                       "Button44", "Button12", "Memo4", "Button13", "OutPort001", "qt_tabwidget_tabbar", "TreeView1"};
    QTest::addRow("output-port dialog, AV chosen") << "Form2/" << QStringList{"ComboBox2", "BitBtn1", "BitBtn2", ""};
  }
  void tabOrderFollowsLayout() {
    QFETCH(QString, start);
    QFETCH(QStringList, order);
    Form2->setItemIndex(0);  // its AV item is the first stop, ComboBox1 is disabled
    QWidget* first = start == "Form2/" ? Form2->RadioGroup1Items->button(0) : widgetAt(start);
    for (int i = 0; i < MainForm->PageControl->count(); ++i)
      if (MainForm->PageControl->widget(i)->isAncestorOf(first)) MainForm->PageControl->setCurrentIndex(i);
    showActive(first->window());
    first->setFocus(Qt::TabFocusReason);
    QCOMPARE(tabWalk(order.size()), order);
    QCOMPARE(QApplication::focusWidget(), first);
  }

  // Arrow keys from output 1 (Left, Right, Up, Down as l r u d), then a key that clicks.
  void gridByKeyboard_data() {
    QTest::addColumn<QString>("arrows");
    QTest::addColumn<int>("click");
    QTest::addColumn<int>("output");
    QTest::addRow("right, down, enter") << "rd" << int(Qt::Key_Enter) << 18;
    QTest::addRow("left and up stay inside") << "lu" << int(Qt::Key_Return) << 1;
    QTest::addRow("down to the last row, left, space") << "ddddddddddddddddl" << int(Qt::Key_Space) << 240;
    QTest::addRow("down and right stay inside") << "dddddddddddddddrrrrrrrrrrrrrrrrdr" << int(Qt::Key_Return) << 256;
  }
  void gridByKeyboard() {
    QFETCH(QString, arrows);
    QFETCH(int, click);
    QFETCH(int, output);
    showActive(MainForm);
    const QImage plain = MainForm->OutPort[1]->grab().toImage();
    MainForm->PageControl->tabBar()->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ShiftModifier);  // back from the tabs
    QCOMPARE(QApplication::focusWidget(), MainForm->OutPort[1]);
    QVERIFY(MainForm->OutPort[1]->grab().toImage() != plain);  // the focus ring
    const QHash<QChar, int> keys{{'l', Qt::Key_Left}, {'r', Qt::Key_Right}, {'u', Qt::Key_Up}, {'d', Qt::Key_Down}};
    for (QChar a : arrows) QTest::keyClick(QApplication::focusWidget(), Qt::Key(keys[a]));
    QCOMPARE(QApplication::focusWidget(), MainForm->OutPort[output]);
    // The grid stays one Tab stop, entered again where the keyboard left it.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget(), MainForm->OutPort[output]);
    QTimer::singleShot(0, Form2, &QDialog::reject);  // runs in the dialog's modal loop
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(click));
    // The dialog opened for that output: its status query.
    QTRY_COMPARE_WITH_TIMEOUT(sw->commands, QList<QByteArray>{"Status" + QByteArray::number(output) + "."}, kWaitMs);
  }
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
