// The code tree on the real main window: the .cgf file byte for byte, Open/Save/New with
// Switch.ini, start-up and close, the tab's handlers and drags, and execution against the
// simulator on loopback TCP.
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

#include "Application.h"
#include "CodeTreeView.h"
#include "Memo.h"
#include "TestSupport.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {
using A = platform::Answer;
constexpr int kWaitMs = 5000;
const QString kQuestion = "Save changes of Code Tree to *.cgf ?";
#define CRLF "\r\n"
const QByteArray kExample =
    "<CodeTree User=\"Vantrel\" Description=\"CodeTree\">" CRLF
    "<0 Type=\"2\" User=\"User\" Description=\"Group\" Code=\"\"/>" CRLF
    "<1 Type=\"3\" User=\"User\" Description=\"CodeItem\" Code=\"\"/>" CRLF
    "<2 Type=\"3\" User=\"Hall\" Description=\"In 1 to 2-4 &quot;main&quot;\" Code=\"1V2,3,4.\"/>" CRLF
    "<3 Type=\"2\" User=\"Stage\" Description=\"A&amp;B\" Code=\"\"/>" CRLF
    "<4 Type=\"3\" User=\"All\" Description=\"All to all\" Code=\"All#.\"/>" CRLF
    "</CodeTree>" CRLF;
// Trees as labels with one '-' a level, code items as label=code, joined by ';'.
const QString kHall = "--Hall: In 1 to 2-4 \"main\"=1V2,3,4.";
const QString kExampleTree = "Vantrel: CodeTree;-User: Group;--User: CodeItem=;" + kHall + ";-Stage: A&B;--All: All to all=All#.";
const QString kDefaultTree = "Vantrel: CodeTree;-User: Group;--User: CodeItem=";
const QString kEditedTree = "Vantrel: CodeTree;-User: Group;--edited: CodeItem=";

QByteArray readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
}
void writeAll(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}
// The tree, with the shape rules and every label checked on the way.
QString treeText() {
  QStringList out;
  std::function<bool(QTreeWidgetItem*, int)> walk = [&](QTreeWidgetItem* item, int depth) {
    const TNode& r = *TCodeTreeView::nodeOf(item)->record;
    if (r.type != depth + 1 || item->text(0) != QString::fromStdString(DisplayText(r))) return false;
    out << QString(depth, '-') + item->text(0) + (r.type == TNode::kCode ? "=" + QString::fromStdString(r.code) : "");
    for (int i = 0; i < item->childCount(); ++i)
      if (!walk(item->child(i), depth + 1)) return false;
    return true;
  };
  QTreeWidget* tree = MainForm->TreeView1;
  const bool ok = tree->topLevelItemCount() == 1 && tree->topLevelItem(0) == MainForm->RootNode && walk(MainForm->RootNode, 0);
  return ok ? out.join(';') : "<shape broken>";
}
// A node by its child indexes below the root: "" the root, "1" the second group, "1.0" ...
CodeTreeItem* node(const QString& path) {
  QTreeWidgetItem* n = MainForm->RootNode;
  for (const QString& i : path.split('.', Qt::SkipEmptyParts)) n = n ? n->child(i.toInt()) : nullptr;
  return TCodeTreeView::nodeOf(n);
}
QString pathOf(QTreeWidgetItem* n) {
  QStringList p;
  for (; n && n->parent(); n = n->parent()) p.prepend(QString::number(n->parent()->indexOfChild(n)));
  return n ? p.join('.') : "none";
}
// The edit panel: caption|user field|Add caption|Delete|editable fields|selected node.
QString panel() {
  TMainForm* f = MainForm;
  QString rw;
  for (QLineEdit* e : {f->Edit3, f->Edit4, f->Edit5}) rw += e->isReadOnly() ? "" : e->objectName().right(1);
  return QStringList{f->GroupBox6->title(), f->Edit3->text(), f->Button9->text(), f->Button11->isEnabled() ? "del" : "-", rw,
                     pathOf(f->TreeView1->selectedNode())}.join('|');
}
QByteArray storedPath() { return platform::GetPrivateProfileString("CodeFile", "Dir", "<absent>", 2000, "Switch.ini"); }
}  // namespace

class TestCodeGroups : public QObject {
  Q_OBJECT
  FakePrompts prompts{FakePrompts::Mode::Scripted};
  std::unique_ptr<QTemporaryDir> dir;

  void start(const QByteArray& switchIni = {}) {
    if (!switchIni.isEmpty()) writeAll(platform::profilePath("Switch.ini"), switchIni);
    CreateForms();
    MainForm->Timer5->stop();
  }
  QString file(const QString& name) const { return dir->filePath(name); }
  void load(const QByteArray& bytes) {
    writeAll(file("in.cgf"), bytes);
    MainForm->LoadCodeTree(file("in.cgf"));
  }

 private slots:
  void init() {
    dir = std::make_unique<QTemporaryDir>();
    prompts.reset();
    platform::setPrompts(&prompts);
    writeSwitcherIni("");
    QFile::remove(platform::profilePath("Switch.ini"));
  }
  void cleanup() {
    DestroyForms();
    platform::setPrompts(nullptr);
    QCOMPARE(prompts.unexpected, QStringList());
  }

  // ---- the file ----

  void savesByteForByte_data() {
    QTest::addColumn<bool>("example");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addRow("worked example") << true << kExample;
    QTest::addRow("default tree") << false << kExample.left(kExample.indexOf("<2 ")) + "</CodeTree>" CRLF;
  }
  void savesByteForByte() {
    QFETCH(bool, example);
    QFETCH(QByteArray, bytes);
    start();
    if (example) load(kExample);
    prompts.saveAnswers = {file("out.cgf")};
    MainForm->CodeTreeChanged = 1;
    MainForm->Button44Click();
    QCOMPARE(readAll(file("out.cgf")), bytes);
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(0));
    QCOMPARE(storedPath(), QFile::encodeName(file("out.cgf")));
    QCOMPARE(prompts.dialogs.last().filter + " " + prompts.dialogs.last().defaultSuffix, QString("Code Group File (*.cgf) cgf"));
    MainForm->LoadCodeTree(file("out.cgf"));
    QCOMPARE(treeText(), example ? kExampleTree : kDefaultTree);
  }

  void loadEdgeCases_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QString>("current");  // path of CurrentNode afterwards
    const QByteArray r = "<CodeTree User=\"r\" Description=\"t\">" CRLF, g = "<0 Type=\"2\" User=\"g\" Description=\"d\"/>", e = "</CodeTree>";
    QTest::addRow("root alone") << QByteArray("<CodeTree User=\"Vantrel\" Description=\"CodeTree\"/>" CRLF) << "Vantrel: CodeTree" << "";
    QTest::addRow("attributes by position") << "<CodeTree Description=\"d\" User=\"u\">" + g + "<x User=\"a\" Type=\"3\"/>" + e << "d: u;-g: d" << "0";
    QTest::addRow("missing attributes read empty") << r + g + "<7 Type=\"3\" User=\"a\"/>" + e << "r: t;-g: d;--a: =" << "0";
    QTest::addRow("types compared exactly") << r + "<0 Type=\" 2\" User=\"a\"/><1 Type=\"02\"/>" + g + e << "r: t;-g: d" << "0";
    QTest::addRow("element names play no part") << r + "<item Type=\"2\" User=\"i\" Description=\"j\"/>" + e << "r: t;-i: j" << "0";
    QTest::addRow("item before the first group skipped") << r + "<0 Type=\"3\" User=\"lost\"/>" + g + e << "r: t;-g: d" << "0";
    QTest::addRow("nested elements and text ignored") << r + "text<0 Type=\"2\" User=\"g\" Description=\"d\"><1 Type=\"3\"/></0>" + e << "r: t;-g: d" << "0";
    QTest::addRow("items join the group read last") << r + g + "<1 Type=\"2\" User=\"h\"/><2 Type=\"3\" User=\"c\" Description=\"e\" Code=\"5V6.\"/>" + e
                                                    << "r: t;-g: d;-h: ;--c: e=5V6." << "1";
    QTest::addRow("empty file") << QByteArray() << kDefaultTree << "0.0";
    QTest::addRow("malformed") << r + g << kDefaultTree << "0.0";
    QTest::addRow("another root name") << QByteArray("<Tree User=\"a\"/>") << kDefaultTree << "0.0";
  }
  void loadEdgeCases() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, tree);
    QFETCH(QString, current);
    start();
    MainForm->TreeView1->setCurrentItem(node("0.0"));  // nothing may touch it once it is gone
    load(bytes);
    QCOMPARE(treeText(), tree);
    QCOMPARE(MainForm->CurrentNode, node(current));
    QVERIFY(MainForm->RootNode->isExpanded());
  }

  void randomTreesRoundTrip() {
    start();
    const QStringList pieces = {"a", " ", "<", ">", "&", "'", "\"", "&amp;", "\t", CRLF, "中文", "é", "1V2.", "="};
    auto text = [&] {
      QString s;
      for (int n = QRandomGenerator::global()->bounded(6); n > 0; --n) s += pieces[QRandomGenerator::global()->bounded(pieces.size())];
      return s.toStdString();
    };
    CodeTreeHost& host = *MainForm->CodeHost;
    for (int round = 0; round < 20; ++round) {
      MainForm->TreeView1->clear();
      MainForm->RootNode = new CodeTreeItem(std::make_unique<TRootNode>(text(), text()));
      MainForm->TreeView1->addTopLevelItem(MainForm->RootNode);
      for (int g = QRandomGenerator::global()->bounded(4); g > 0; --g) {
        CodeTreeItem* group = host.AddLastChild(MainForm->RootNode, std::make_unique<TGroupNode>(text(), text()));
        for (int i = QRandomGenerator::global()->bounded(4); i > 0; --i) {
          host.AddLastChild(group, std::make_unique<TCodeNode>(text(), text()))->record->code = text();
        }
      }
      const QString before = treeText();
      QVERIFY(MainForm->SaveCodeTree(file("random.cgf")));
      MainForm->LoadCodeTree(file("random.cgf"));
      QCOMPARE(treeText(), before);
    }
  }

  void failedSave_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    QTest::addRow("a folder") << "" << "Is a directory";
    QTest::addRow("no such folder") << "missing/x.cgf" << "No such file or directory";
  }
  void failedSave() {
    QFETCH(QString, path);
    QFETCH(QString, reason);
    start("[CodeFile]\nDir=/old.cgf\n");
    MainForm->CodeTreeChanged = 1;
    prompts.saveAnswers = {file(path)};
    prompts.expect(QStringLiteral("Cannot save the code tree to %1: %2.").arg(file(path), reason), "Error");
    MainForm->Button44Click();
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(1));
    QCOMPARE(storedPath(), QByteArray("/old.cgf"));
  }

  void legacyChineseFile() {
    start();
    const QString name = QStringLiteral("会议室");
    const QByteArray gb = QStringEncoder("GB18030").encode(name);
    auto file = [](const QByteArray& n, const QByteArray& code) {
      return "<CodeTree User=\"" + n + "\" Description=\"x\">" CRLF "<0 Type=\"2\" User=\"g\" Description=\"" + n + "\"" + code + "/>" CRLF "</CodeTree>" CRLF;
    };
    load(file(gb, ""));
    QCOMPARE(treeText(), name + ": x;-g: " + name);
    QVERIFY(MainForm->SaveCodeTree(this->file("utf8.cgf")));
    QCOMPARE(readAll(this->file("utf8.cgf")), file(name.toUtf8(), " Code=\"\""));
  }

  // ---- Switch.ini, start-up, Open, New and close ----

  void startUp_data() {
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QString>("tree");
    QTest::addRow("file named") << "[CodeFile]\nDir=%1\n" << kExampleTree;
    QTest::addRow("missing file") << "[CodeFile]\nDir=%1.gone\n" << kDefaultTree;
    QTest::addRow("no entry") << "[Other]\nDir=%1\n" << kDefaultTree;
    QTest::addRow("long path read whole") << "[CodeFile]\nDir=%1" + QString(600, 'p') + "\n" << kDefaultTree;
  }
  void startUp() {
    QFETCH(QString, ini);
    QFETCH(QString, tree);
    writeAll(file("start.cgf"), kExample);
    start(ini.arg(file("start.cgf")).toUtf8());
    QCOMPARE(treeText(), tree);
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(0));
    if (ini.contains("ppp")) QCOMPARE(MainForm->StoredCodeFilePath(), file("start.cgf") + QString(600, 'p'));
    // A file that cannot be read is named, and stays named for the next start.
    if (ini.contains(".gone")) {
      QCOMPARE(MainForm->Memo4->lines().last(), "Cannot read the code group file " + file("start.cgf.gone") + ": No such file or directory.");
      QCOMPARE(storedPath(), QFile::encodeName(file("start.cgf.gone")));
    }
  }

  void openAndNew_data() {
    QTest::addColumn<bool>("open");
    QTest::addColumn<int>("answer");           // -1: no question (the tree is unchanged)
    QTest::addColumn<QStringList>("dialogs");  // save dialog (after Yes), then open dialog
    QTest::addColumn<QString>("tree");
    QTest::addRow("open, unchanged") << true << -1 << QStringList{"in.cgf"} << kExampleTree;
    QTest::addRow("open, No") << true << int(A::No) << QStringList{"in.cgf"} << kExampleTree;
    QTest::addRow("open, Yes") << true << int(A::Yes) << QStringList{"out.cgf", "in.cgf"} << kExampleTree;
    QTest::addRow("open, Cancel") << true << int(A::Cancel) << QStringList{} << kEditedTree;
    QTest::addRow("open, Yes, save cancelled") << true << int(A::Yes) << QStringList{""} << kEditedTree;
    QTest::addRow("open dialog cancelled") << true << -1 << QStringList{""} << kDefaultTree;
    QTest::addRow("new, No") << false << int(A::No) << QStringList{} << kDefaultTree;
    QTest::addRow("new, Cancel") << false << int(A::Cancel) << QStringList{} << kEditedTree;
  }
  void openAndNew() {
    QFETCH(bool, open);
    QFETCH(int, answer);
    QFETCH(QStringList, dialogs);
    QFETCH(QString, tree);
    start();
    writeAll(file("in.cgf"), kExample);
    if (answer >= 0) {
      node("0.0")->record->user = "edited";
      node("0.0")->setText(0, "edited: CodeItem");
      MainForm->CodeTreeChanged = 1;
      prompts.expect(kQuestion, "Save", A(answer));
    }
    for (int i = 0; i < dialogs.size(); ++i)
      (answer == int(A::Yes) && i == 0 ? prompts.saveAnswers : prompts.openAnswers).push_back(dialogs[i].isEmpty() ? "" : file(dialogs[i]));
    open ? MainForm->Button2Click() : MainForm->Button50Click();
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(treeText(), tree);
    QCOMPARE(QFile::exists(file("out.cgf")), answer == int(A::Yes) && dialogs.size() == 2);
    QCOMPARE(storedPath(), tree == kExampleTree ? QFile::encodeName(file("in.cgf")) : QByteArray("<absent>"));
    if (!open && tree == kDefaultTree) QCOMPARE(panel(), "Code Item|User|Add CodeItem|del|345|0.0");  // New opens the item
  }

  // Open of a file that cannot be read says why and leaves the edited tree, its flag and
  // Switch.ini as they were.
  void openUnreadable_data() {
    QTest::addColumn<QByteArray>("bytes");  // "-": no file
    QTest::addColumn<QString>("reason");
    QTest::addRow("parse error") << QByteArray("<CodeTree>\r\n<0 Type=\"2\"/>\r\n</Code>\r\n") << "line 3: End tag does not correspond to CodeTree";
    QTest::addRow("another root") << QByteArray("<Other/>") << "its first element is not CodeTree";
    QTest::addRow("empty") << QByteArray() << "the file is empty";
    QTest::addRow("missing") << QByteArray("-") << "No such file or directory";
  }
  void openUnreadable() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    start("[CodeFile]\nDir=/old.cgf\n");
    node("0.0")->record->user = "edited";
    node("0.0")->setText(0, "edited: CodeItem");
    MainForm->CodeTreeChanged = 1;
    if (bytes != "-") writeAll(file("bad.cgf"), bytes);
    prompts.expect(kQuestion, "Save", A::No);
    prompts.openAnswers = {file("bad.cgf")};
    prompts.expect("Cannot open the code group file " + file("bad.cgf") + ": " + reason + ".", "Error");
    MainForm->Button2Click();
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(treeText(), kEditedTree);
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(1));
    QCOMPARE(storedPath(), QByteArray("/old.cgf"));
    QCOMPARE(MainForm->CodeFileName, QString("/old.cgf"));
  }

  // A value longer than a line edit's default limit is shown whole and saved unchanged.
  void longCodeShownAndSaved() {
    start();
    const QByteArray bytes = QByteArray(kExample).replace("1V2,3,4.", QByteArray(40000, '7'));
    load(bytes);
    MainForm->TreeView1->setCurrentItem(node("0.1"));
    QCOMPARE(MainForm->Edit5->text().size(), 40000);
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(0));
    QVERIFY(MainForm->SaveCodeTree(file("out.cgf")));
    QCOMPARE(readAll(file("out.cgf")), bytes);
  }

  void close_data() {
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("saveAs");  // "-": no save dialog
    QTest::addColumn<bool>("closed");
    QTest::addRow("Yes") << int(A::Yes) << "closed.cgf" << true;
    QTest::addRow("No") << int(A::No) << "-" << true;
    QTest::addRow("Yes, then cancel") << int(A::Yes) << "" << false;
  }
  void close() {
    QFETCH(int, answer);
    QFETCH(QString, saveAs);
    QFETCH(bool, closed);
    start();
    MainForm->show();
    MainForm->CodeTreeChanged = 1;
    prompts.expect(kQuestion, "Save", A(answer));
    if (saveAs != "-") prompts.saveAnswers = {saveAs.isEmpty() ? QString() : file(saveAs)};
    MainForm->close();
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(prompts.shown.last().buttons, platform::Buttons::YesNo);
    QCOMPARE(MainForm->isVisible(), !closed);
    QCOMPARE(QFile::exists(file("closed.cgf")), saveAs == "closed.cgf");
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(closed ? 0 : 1));
  }

  // ---- the tab: steps on the worked example ----

  void tab_data() {
    QTest::addColumn<QString>("steps");  // s:PATH select, down (key), add, del, edit, t:FIELD:TEXT type, over:PATH (- none), drop, out,
                                         // right:PATH, middle:PATH click, press:PATH (a drag's left press), load (the example again)
    QTest::addColumn<QString>("tree");   // "=": unchanged
    QTest::addColumn<QString>("panel");
    QTest::addColumn<bool>("changed");
    const QString stage = ";-Stage: A&B;--All: All to all=All#.";
    QTest::addRow("add on the root: a group") << "s: add" << kExampleTree + ";-User: Group" << "Code Group|User|Add CodeItem|del|34|2" << true;
    QTest::addRow("add on a group: item at its end") << "s:1 add" << kExampleTree + ";--User: CodeItem=" << "Code Item|User|Add CodeItem|del|345|1.1" << true;
    QTest::addRow("add on an item: end of its group") << "s:0.0 add" << "Vantrel: CodeTree;-User: Group;--User: CodeItem=;" + kHall + ";--User: CodeItem=" + stage
                                                       << "Code Item|User|Add CodeItem|del|345|0.2" << true;
    QTest::addRow("delete a group with its items") << "s:0 del" << "Vantrel: CodeTree" + stage << "Code Group|Stage|Add CodeItem|del||0" << true;
    QTest::addRow("delete an only item: its group shown") << "s:1.0 del" << "Vantrel: CodeTree;-User: Group;--User: CodeItem=;" + kHall + ";-Stage: A&B"
                                                           << "Code Group|Stage|Add CodeItem|del||1" << true;
    QTest::addRow("delete an item: the next shown") << "s:0.0 del" << "Vantrel: CodeTree;-User: Group;" + kHall + stage << "Code Item|Hall|Add CodeItem|del||0.0" << true;
    QTest::addRow("the root cannot be deleted") << "s: del" << "=" << "Root|Vantrel|Add Group|-||" << true;
    QTest::addRow("edit after add: unlocks again") << "s: add edit" << kExampleTree + ";-User: Group" << "Code Group|User|Add CodeItem|del|34|2" << true;
    QTest::addRow("edit after add, twice: locks") << "s: add edit edit" << kExampleTree + ";-User: Group" << "Code Group|User|Add CodeItem|del||2" << true;
    QTest::addRow("toggle at 1, another node: locks again") << "s:1 edit s:0 edit" << "=" << "Code Group|User|Add CodeItem|del||0" << false;
    QTest::addRow("toggle at 1, another node, twice: unlocks") << "s:1 edit s:0 edit edit" << "=" << "Code Group|User|Add CodeItem|del|34|0" << false;
    QTest::addRow("a key moves the selection: shown") << "s:0.0 edit down" << "=" << "Code Item|Hall|Add CodeItem|del||0.1" << false;
    QTest::addRow("showing other values marks nothing") << "s:1.0 s:0.0" << "=" << "Code Item|User|Add CodeItem|del||0.0" << false;
    QTest::addRow("typing the user: label follows") << "s:0.0 edit t:Edit3:Ab" << "Vantrel: CodeTree;-User: Group;--UserAb: CodeItem=;" + kHall + stage
                                                     << "Code Item|UserAb|Add CodeItem|del|345|0.0" << true;
    QTest::addRow("typing the description") << "s:1 edit t:Edit4:!" << "Vantrel: CodeTree;-User: Group;--User: CodeItem=;" + kHall + ";-Stage: A&B!;--All: All to all=All#."
                                             << "Code Group|Stage|Add CodeItem|del|34|1" << true;
    QTest::addRow("typing the code: label stays") << "s:0.0 edit t:Edit5:1." << "Vantrel: CodeTree;-User: Group;--User: CodeItem=1.;" + kHall + stage
                                                   << "Code Item|User|Add CodeItem|del|345|0.0" << true;
    QTest::addRow("drag onto a group: its end") << "s:0.0 over:1 drop" << "Vantrel: CodeTree;-User: Group;" + kHall + stage + ";--User: CodeItem="
                                                 << "Code Item|User|Add CodeItem|del||1.1" << true;
    QTest::addRow("drag onto an item in another group: before it") << "s:1.0 over:0.1 drop" << "Vantrel: CodeTree;-User: Group;--User: CodeItem=;--All: All to all=All#.;" + kHall + ";-Stage: A&B"
                                                                    << "Code Item|All|Add CodeItem|del||0.1" << true;
    QTest::addRow("drag onto itself: stays, marked") << "s:0.1 over:0.1 drop" << "=" << "Code Item|Hall|Add CodeItem|del||0.1" << true;
    QTest::addRow("drag onto the root: nothing") << "s:0.0 over: drop" << "=" << "Code Item|User|Add CodeItem|del||0.0" << false;
    QTest::addRow("drag onto empty space: nothing") << "s:0.0 over:- drop" << "=" << "Code Item|User|Add CodeItem|del||0.0" << false;
    QTest::addRow("drag ending outside the tree: nothing") << "s:0.0 over:1 out" << "=" << "Code Item|User|Add CodeItem|del||0.0" << false;
    QTest::addRow("drag of a group: nothing") << "s:0 over:1 drop" << "=" << "Code Group|User|Add CodeItem|del||0" << false;
    // Whatever changes the selection shows the node, locked: typing never writes one node's values into another.
    QTest::addRow("right click, then typing") << "s:0.0 edit right:0.1 t:Edit3:X" << "=" << "Code Item|Hall|Add CodeItem|del||0.1" << false;
    QTest::addRow("middle click on a group, then typing a code") << "s:0.0 edit middle:1 t:Edit5:9" << "=" << "Code Group|Stage|Add CodeItem|del||1" << false;
    QTest::addRow("drag, then typing") << "s:0.0 edit press:0.1 over:1 drop t:Edit3:X" << "Vantrel: CodeTree;-User: Group;--User: CodeItem=" + stage + ";" + kHall
                                       << "Code Item|Hall|Add CodeItem|del||1.1" << true;
    QTest::addRow("cancelled drag, then typing") << "s:0.0 edit press:0.1 out t:Edit3:X" << "=" << "Code Item|Hall|Add CodeItem|del||0.1" << false;
    QTest::addRow("a new tree: its node shown") << "s:0.0 edit load t:Edit3:X" << "=" << "Code Group|Stage|Add CodeItem|del||1" << false;
  }
  void tab() {
    QFETCH(QString, steps);
    QFETCH(QString, tree);
    QFETCH(QString, panel);
    QFETCH(bool, changed);
    start();
    load(kExample);
    for (const QString& step : steps.split(' ')) {
      const QStringList a = step.split(':');
      if (a[0] == "s") {
        MainForm->TreeView1->setCurrentItem(node(a[1]));
        MainForm->TreeView1Click();
      } else if (a[0] == "down") {
        QTest::keyClick(MainForm->TreeView1, Qt::Key_Down);
      } else if (a[0] == "add") {
        MainForm->Button9Click();
      } else if (a[0] == "del") {
        MainForm->Button11Click();
      } else if (a[0] == "edit") {
        MainForm->Button10Click();
      } else if (a[0] == "t") {
        auto* edit = MainForm->findChild<QLineEdit*>(a[1]);
        edit->end(false);
        for (QChar c : a[2]) {
          QTest::keyClick(edit, c.toLatin1());
          QVERIFY(treeText() != "<shape broken>");  // the label is DisplayText after every key
        }
      } else if (a[0] == "right" || a[0] == "middle" || a[0] == "press") {
        QWidget* view = MainForm->TreeView1->viewport();
        const QPoint at = MainForm->TreeView1->visualItemRect(node(a[1])).center();
        if (a[0] == "press") {  // released beside the nodes: no click, as when a drag begins
          QTest::mousePress(view, Qt::LeftButton, {}, at);
          QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(1, view->height() - 1));
        } else QTest::mouseClick(view, a[0] == "right" ? Qt::RightButton : Qt::MiddleButton, {}, at);
      } else if (a[0] == "load") {
        load(kExample);
      } else if (a[0] == "over") {
        MainForm->TreeView1DragOver(a[1] == "-" ? nullptr : node(a[1]));
      } else {
        MainForm->TreeView1EndDrag(a[0] == "drop");
      }
      if (a[0] != "over" && a[0] != "drop" && a[0] != "out") QCOMPARE(MainForm->CurrentNode, MainForm->TreeView1->selectedNode());
    }
    QCOMPARE(treeText(), tree == "=" ? kExampleTree : tree);
    QCOMPARE(::panel(), panel);
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(changed));
  }

  void execute_data() {
    QTest::addColumn<QString>("at");
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::addRow("root: everything, depth first") << "" << QList<QByteArray>{"1V2,3,4.", "All#.", "5A6."};
    QTest::addRow("group: its items") << "1" << QList<QByteArray>{"All#.", "5A6."};
    QTest::addRow("item") << "0.1" << QList<QByteArray>{"1V2,3,4."};
    QTest::addRow("empty group") << "2" << QList<QByteArray>{};
  }
  void execute() {
    QFETCH(QString, at);
    QFETCH(QList<QByteArray>, sent);
    SimTcpSwitcher sw(SimTcpSwitcher::Mode::Silent);
    qputenv(kTcpPortEnv, QByteArray::number(sw.port()));
    writeSwitcherIni("[TCP]\nConnect=1\nIP=127.0.0.1\n");
    start();
    qunsetenv(kTcpPortEnv);
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->socketActive(), kWaitMs);
    load(QByteArray(kExample).replace("</CodeTree>", "<5 Type=\"3\" User=\"u\" Description=\"d\" Code=\"5A6.\"/><6 Type=\"2\"/></CodeTree>"));
    MainForm->TreeView1->setCurrentItem(node(at));
    MainForm->Button12Click();
    QCOMPARE(MainForm->CurrentNode, node(at));
    QTRY_COMPARE_WITH_TIMEOUT(sw.commands.size(), sent.size(), kWaitMs);
    QCOMPARE(sw.commands, sent);
    if (!sent.isEmpty()) QCOMPARE(MainForm->ReplyTarget, 4u);
  }

  // Without a link the first refusal ends the run: one box, under Busy, for 50 items.
  void executeStopsAtTheFirstRefusal() {
    start();
    QByteArray items;
    for (int i = 1; i <= 50; ++i) items += "<" + QByteArray::number(i) + " Type=\"3\" User=\"u\" Description=\"d\" Code=\"1V1.\"/>";
    load("<CodeTree User=\"r\" Description=\"r\"><0 Type=\"2\" User=\"g\" Description=\"g\"/>" + items + "</CodeTree>");
    MainForm->TreeView1->setCurrentItem(node("0"));
    QList<int> busy;
    prompts.onMessage = [&] { busy << MainForm->Busy; };
    prompts.expect("COM is not opened !", "Error");
    MainForm->Button12Click();
    prompts.onMessage = nullptr;
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(busy, QList<int>{1});
    QCOMPARE(MainForm->Busy, std::uint8_t(0));
  }
};

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  TestCodeGroups test;
  return QTest::qExec(&test, argc, argv);
}
#include "tst_codegroups.moc"
