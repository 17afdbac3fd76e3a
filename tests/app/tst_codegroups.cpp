// The code tree on the real main window: the .cgf file byte for byte, Open/Save/New with
// Switch.ini, start-up and close, the tab's handlers, dragging, and execution against the
// simulator on loopback TCP.
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

#include "Application.h"
#include "CodeTreeView.h"
#include "TestSupport.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {
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
const QString kExampleTree =
    "Vantrel: CodeTree;-User: Group;--User: CodeItem=;--Hall: In 1 to 2-4 \"main\"=1V2,3,4.;"
    "-Stage: A&B;--All: All to all=All#.";
const QString kDefaultTree = "Vantrel: CodeTree;-User: Group;--User: CodeItem=";
const QString kEditedTree = "Vantrel: CodeTree;-User: Group;--edited: CodeItem=";

QByteArray readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}
void writeAll(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

// The tree as "label" per node with one '-' per level, code items as "label=code", joined
// by ';'. Checks the shape rules and the labels on the way.
QString treeText() {
  QStringList out;
  const QString bad = "<shape broken>";
  if (MainForm->TreeView1->topLevelItemCount() != 1) return bad;
  std::function<bool(QTreeWidgetItem*, int)> walk = [&](QTreeWidgetItem* item, int depth) {
    const TNode& r = *TCodeTreeView::nodeOf(item)->record;
    if (r.type != depth + 1 || item->text(0) != QString::fromStdString(DisplayText(r))) return false;
    out << QString(depth, '-') + item->text(0) + (r.type == TNode::kCode ? "=" + QString::fromStdString(r.code) : "");
    for (int i = 0; i < item->childCount(); ++i)
      if (!walk(item->child(i), depth + 1)) return false;
    return true;
  };
  QTreeWidgetItem* root = MainForm->TreeView1->topLevelItem(0);
  if (root != MainForm->RootNode || !walk(root, 0)) return bad;
  return out.join(';');
}

// A node by its path of child indexes below the root: "" root, "1" second group, "1.0" ...
CodeTreeItem* node(const QString& path) {
  QTreeWidgetItem* n = MainForm->RootNode;
  for (const QString& i : path.split('.', Qt::SkipEmptyParts)) n = n ? n->child(i.toInt()) : nullptr;
  return TCodeTreeView::nodeOf(n);
}
void select(const QString& path) {
  MainForm->TreeView1->setCurrentItem(node(path));
  MainForm->TreeView1Click();
}
QByteArray storedPath() {
  return platform::GetPrivateProfileString("CodeFile", "Dir", "<absent>", 2000, "Switch.ini");
}
}  // namespace

class TestCodeGroups : public QObject {
  Q_OBJECT
  FakePrompts prompts{FakePrompts::Mode::Scripted};
  std::unique_ptr<QTemporaryDir> dir;

  void start(const QByteArray& switchIni = {}) {
    QFile::remove(platform::profilePath("Switch.ini"));
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
    QTest::addRow("worked example, 384 bytes") << true << kExample;
    QTest::addRow("default tree, 176 bytes") << false << kExample.left(kExample.indexOf("<2 ")) + "</CodeTree>" CRLF;
  }
  void savesByteForByte() {
    QFETCH(bool, example);
    QFETCH(QByteArray, bytes);
    start();
    if (example) load(kExample);
    QCOMPARE(treeText(), example ? kExampleTree : kDefaultTree);
    prompts.saveAnswers = {file("out.cgf")};
    MainForm->CodeTreeChanged = 1;
    MainForm->Button44Click();
    QCOMPARE(readAll(file("out.cgf")), bytes);
    QCOMPARE(readAll(file("out.cgf")).size(), example ? 384 : 176);
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(0));
    QCOMPARE(storedPath(), QFile::encodeName(file("out.cgf")));
    QCOMPARE(prompts.dialogs.last().filter, QString("Code Group File (*.cgf)"));
    QCOMPARE(prompts.dialogs.last().defaultSuffix, QString("cgf"));
    MainForm->LoadCodeTree(file("out.cgf"));
    QCOMPARE(treeText(), example ? kExampleTree : kDefaultTree);
  }

  void loadEdgeCases_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QString>("current");  // path of CurrentNode afterwards
    const QByteArray root = "<CodeTree User=\"r\" Description=\"t\">" CRLF;
    const QByteArray group = "<0 Type=\"2\" User=\"g\" Description=\"d\" Code=\"\"/>" CRLF;
    const QByteArray end = "</CodeTree>" CRLF;
    QTest::addRow("root alone") << QByteArray("<CodeTree User=\"Vantrel\" Description=\"CodeTree\"/>" CRLF)
                                << "Vantrel: CodeTree" << "";
    QTest::addRow("declaration and comments first")
        << "<?xml version=\"1.0\"?>" CRLF "<!-- c -->" + root + group + end << "r: t;-g: d" << "0";
    QTest::addRow("attributes by position")
        << "<CodeTree Description=\"d\" User=\"u\">" + group + "<x User=\"a\" Type=\"3\"/>" + end
        << "d: u;-g: d" << "0";
    QTest::addRow("same name twice reads the first")
        << root + "<0 Type=\"2\" Type=\"x\" User=\"u\"/>" + end << "r: t;-2: u" << "0";
    QTest::addRow("missing attributes read empty")
        << root + group + "<7 Type=\"3\" User=\"a\"/>" + end << "r: t;-g: d;--a: =" << "0";
    QTest::addRow("types compared exactly")
        << root + "<0 Type=\" 2\" User=\"a\"/><1 Type=\"02\" User=\"b\"/>" + group + end << "r: t;-g: d" << "0";
    QTest::addRow("element names play no part")
        << root + "<item Type=\"2\" User=\"i\" Description=\"j\"/>" + end << "r: t;-i: j" << "0";
    QTest::addRow("entities") << root + "<0 Type=\"2\" User=\"&#65;\" Description=\"&amp;\"/>" + end
                              << "r: t;-&#65;: &" << "0";
    QTest::addRow("item before the first group is skipped")
        << root + "<0 Type=\"3\" User=\"lost\"/>" + group + end << "r: t;-g: d" << "0";
    QTest::addRow("nested elements and text ignored")
        << root + "text<0 Type=\"2\" User=\"g\" Description=\"d\"><1 Type=\"3\" User=\"n\"/></0>" + end
        << "r: t;-g: d" << "0";
    QTest::addRow("items join the group read last")
        << root + group + "<1 Type=\"2\" User=\"h\"/><2 Type=\"3\" User=\"c\" Description=\"e\" Code=\"5V6.\"/>" + end
        << "r: t;-g: d;-h: ;--c: e=5V6." << "1";
    QTest::addRow("empty file") << QByteArray() << kDefaultTree << "0.0";
    QTest::addRow("malformed") << root + group << kDefaultTree << "0.0";
    QTest::addRow("another root name") << QByteArray("<Tree User=\"a\"/>") << kDefaultTree << "0.0";
  }
  void loadEdgeCases() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, tree);
    QFETCH(QString, current);
    start();
    select("0.0");
    load(bytes);
    QCOMPARE(treeText(), tree);
    QCOMPARE(MainForm->CurrentNode, node(current));
    QVERIFY(MainForm->TreeView1->topLevelItem(0)->isExpanded());
  }

  void randomTreesRoundTrip() {
    start();
    const QStringList pieces = {"a", "Z", " ", "<", ">", "&", "'", "\"", "&amp;", "\t", CRLF, "中文", "é", "1V2.", "="};
    auto text = [&] {
      QString s;
      for (int n = QRandomGenerator::global()->bounded(6); n > 0; --n)
        s += pieces[QRandomGenerator::global()->bounded(pieces.size())];
      return s.toStdString();
    };
    for (int round = 0; round < 20; ++round) {
      MainForm->TreeView1->clear();
      auto* root = new CodeTreeItem(std::make_unique<TRootNode>(text(), text()));
      MainForm->TreeView1->addTopLevelItem(root);
      MainForm->RootNode = root;
      for (int g = QRandomGenerator::global()->bounded(4); g > 0; --g) {
        CodeTreeItem* group = MainForm->CodeHost->AddLastChild(root, std::make_unique<TGroupNode>(text(), text()));
        for (int i = QRandomGenerator::global()->bounded(4); i > 0; --i) {
          auto item = std::make_unique<TCodeNode>(text(), text());
          item->code = text();
          MainForm->CodeHost->AddLastChild(group, std::move(item));
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
    const QString name = file(path);
    prompts.expect(QStringLiteral("Cannot save the code tree to %1: %2.").arg(name, reason), "Error");
    MainForm->Button44Click();
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(prompts.shown.last().owner, static_cast<QWidget*>(MainForm));
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(1));
    QCOMPARE(storedPath(), QByteArray("/old.cgf"));
  }

  void legacyChineseFile() {
    start();
    const QString user = QStringLiteral("会议室");
    QStringEncoder gb("GB18030");
    const QByteArray name = gb.encode(user);
    load("<CodeTree User=\"" + name + "\" Description=\"x\">" CRLF "<0 Type=\"2\" User=\"g\" Description=\"" + name +
         "\"/>" CRLF "</CodeTree>" CRLF);
    QCOMPARE(treeText(), user + ": x;-g: " + user);
    QVERIFY(MainForm->SaveCodeTree(file("utf8.cgf")));
    QCOMPARE(readAll(file("utf8.cgf")),
             "<CodeTree User=\"" + user.toUtf8() + "\" Description=\"x\">" CRLF "<0 Type=\"2\" User=\"g\" Description=\"" +
                 user.toUtf8() + "\" Code=\"\"/>" CRLF "</CodeTree>" CRLF);
  }

  // ---- Switch.ini, start-up, Open, New and close ----

  void startUp_data() {
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("tree");
    QTest::addRow("file named") << QByteArray("[CodeFile]\nDir=%1\n") << kExampleTree;
    QTest::addRow("missing file") << QByteArray("[CodeFile]\nDir=%1.gone\n") << kDefaultTree;
    QTest::addRow("no entry") << QByteArray("[Other]\nDir=%1\n") << kDefaultTree;
  }
  void startUp() {
    QFETCH(QByteArray, ini);
    QFETCH(QString, tree);
    writeAll(file("start.cgf"), kExample);
    start(QString::fromLatin1(ini).arg(file("start.cgf")).toUtf8());
    QCOMPARE(treeText(), tree);
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(0));
  }

  void longStoredPathIsCut() {
    start(("[CodeFile]\nDir=/" + QByteArray(700, 'p') + "\n"));
    QCOMPARE(MainForm->StoredCodeFilePath(), "/" + QString(598, 'p'));
  }

  void openAndNew_data() {
    QTest::addColumn<bool>("open");
    QTest::addColumn<int>("answer");  // -1: no question (tree unchanged)
    QTest::addColumn<QStringList>("dialogs");  // save dialog answers, then the open dialog's
    QTest::addColumn<QString>("tree");
    QTest::addColumn<bool>("saved");
    using A = platform::Answer;
    QTest::addRow("open, unchanged") << true << -1 << QStringList{"in.cgf"} << kExampleTree << false;
    QTest::addRow("open, No") << true << int(A::No) << QStringList{"in.cgf"} << kExampleTree << false;
    QTest::addRow("open, Yes") << true << int(A::Yes) << QStringList{"out.cgf", "in.cgf"} << kExampleTree << true;
    QTest::addRow("open, Cancel") << true << int(A::Cancel) << QStringList{} << kEditedTree << false;
    QTest::addRow("open, Yes, save cancelled") << true << int(A::Yes) << QStringList{""} << kEditedTree << false;
    QTest::addRow("open dialog cancelled") << true << -1 << QStringList{""} << kDefaultTree << false;
    QTest::addRow("new, No") << false << int(A::No) << QStringList{} << kDefaultTree << false;
    QTest::addRow("new, Cancel") << false << int(A::Cancel) << QStringList{} << kEditedTree << false;
  }
  void openAndNew() {
    QFETCH(bool, open);
    QFETCH(int, answer);
    QFETCH(QStringList, dialogs);
    QFETCH(QString, tree);
    QFETCH(bool, saved);
    start();
    writeAll(file("in.cgf"), kExample);
    if (answer >= 0) {
      node("0.0")->record->user = "edited";
      node("0.0")->setText(0, "edited: CodeItem");
      MainForm->CodeTreeChanged = 1;
      prompts.expect(kQuestion, "Save", platform::Answer(answer));
    }
    const bool yes = answer == int(platform::Answer::Yes);
    for (int i = 0; i < dialogs.size(); ++i) {
      const QString name = dialogs[i].isEmpty() ? QString() : file(dialogs[i]);
      (yes && i == 0 ? prompts.saveAnswers : prompts.openAnswers).push_back(name);
    }
    open ? MainForm->Button2Click() : MainForm->Button50Click();
    QVERIFY(prompts.allExpectedShown());
    if (answer >= 0) QCOMPARE(prompts.shown.last().buttons, platform::Buttons::YesNoCancel);
    QCOMPARE(treeText(), tree);
    QCOMPARE(QFile::exists(file("out.cgf")), saved);
    const bool loaded = tree == kExampleTree;
    QCOMPARE(storedPath(), loaded ? QFile::encodeName(file("in.cgf")) : QByteArray("<absent>"));
    if (!open && answer == int(platform::Answer::No)) {
      // New shows the code item, unlocked.
      QCOMPARE(MainForm->TreeView1->selectedNode(), node("0.0"));
      QCOMPARE(MainForm->GroupBox6->title(), QString("Code Item"));
      QVERIFY(!MainForm->Edit3->isReadOnly() && !MainForm->Edit5->isReadOnly());
    }
  }

  void close_data() {
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("saveAs");  // save dialog's answer ("-" for none)
    QTest::addColumn<bool>("closed");
    using A = platform::Answer;
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
    prompts.expect(kQuestion, "Save", platform::Answer(answer));
    if (saveAs != "-") prompts.saveAnswers = {saveAs.isEmpty() ? QString() : file(saveAs)};
    MainForm->close();
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(prompts.shown.last().buttons, platform::Buttons::YesNo);
    QCOMPARE(MainForm->isVisible(), !closed);
    QCOMPARE(QFile::exists(file("closed.cgf")), saveAs == "closed.cgf");
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(closed ? 0 : 1));
  }

  // ---- the tab ----

  void add_data() {
    QTest::addColumn<QString>("at");
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QString>("added");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("addCaption");
    QTest::addRow("root: a group") << "" << kExampleTree + ";-User: Group" << "2" << "Code Group" << "Add CodeItem";
    QTest::addRow("group: an item at its end") << "1" << kExampleTree + ";--User: CodeItem=" << "1.1" << "Code Item" << "Add CodeItem";
    QTest::addRow("item: at the end of its group, not after it")
        << "0.0" << "Vantrel: CodeTree;-User: Group;--User: CodeItem=;--Hall: In 1 to 2-4 \"main\"=1V2,3,4.;--User: CodeItem=;"
                    "-Stage: A&B;--All: All to all=All#." << "0.2" << "Code Item" << "Add CodeItem";
  }
  void add() {
    QFETCH(QString, at);
    QFETCH(QString, tree);
    QFETCH(QString, added);
    QFETCH(QString, caption);
    QFETCH(QString, addCaption);
    start();
    load(kExample);
    select(at);
    MainForm->Button9Click();
    QCOMPARE(treeText(), tree);
    QCOMPARE(MainForm->CurrentNode, node(added));
    QCOMPARE(MainForm->TreeView1->selectedNode(), node(added));
    QCOMPARE(MainForm->GroupBox6->title(), caption);
    QCOMPARE(MainForm->Button9->text(), addCaption);
    QVERIFY(!MainForm->Edit3->isReadOnly());
    QCOMPARE(MainForm->Edit3->selectedText(), QString("User"));
    QCOMPARE(MainForm->Edit5->isReadOnly(), caption != "Code Item");
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(1));
  }

  void remove_data() {
    QTest::addColumn<QString>("at");
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QString>("shown");  // GroupBox6 caption and Edit3 afterwards
    QTest::addRow("group with its items") << "0" << "Vantrel: CodeTree;-Stage: A&B;--All: All to all=All#." << "Code Group Stage";
    QTest::addRow("last item of a group") << "1.0" << "Vantrel: CodeTree;-User: Group;--User: CodeItem=;--Hall: In 1 to 2-4 \"main\"=1V2,3,4.;-Stage: A&B" << "Code Group Stage";
    QTest::addRow("item with a follower") << "0.0" << "Vantrel: CodeTree;-User: Group;--Hall: In 1 to 2-4 \"main\"=1V2,3,4.;-Stage: A&B;--All: All to all=All#." << "Code Item Hall";
    QTest::addRow("root: nothing") << "" << kExampleTree << "Root Vantrel";
  }
  void remove() {
    QFETCH(QString, at);
    QFETCH(QString, tree);
    QFETCH(QString, shown);
    start();
    load(kExample);
    select(at);
    QCOMPARE(MainForm->Button11->isEnabled(), !at.isEmpty());
    MainForm->Button11Click();
    QCOMPARE(treeText(), tree);
    QCOMPARE(MainForm->GroupBox6->title() + " " + MainForm->Edit3->text(), shown);
    QCOMPARE(MainForm->CurrentNode, MainForm->TreeView1->selectedNode());
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
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->socketActive(), kWaitMs);
    load(QByteArray(kExample).replace("</CodeTree>", "<5 Type=\"3\" User=\"u\" Description=\"d\" Code=\"5A6.\"/><6 Type=\"2\"/></CodeTree>"));
    select(at);
    MainForm->Busy = 0;
    MainForm->Button12Click();
    QCOMPARE(MainForm->Busy, std::uint8_t(0));
    QCOMPARE(MainForm->CurrentNode, node(at));
    if (!sent.isEmpty()) {
      QCOMPARE(MainForm->ReplyTarget, 4u);
      QTRY_COMPARE_WITH_TIMEOUT(sw.commands.size(), sent.size(), kWaitMs);
    }
    QCOMPARE(sw.commands, sent);
    qunsetenv(kTcpPortEnv);
  }

  void editToggle_data() {
    QTest::addColumn<bool>("afterAdd");
    QTest::addColumn<QList<bool>>("readOnly");  // after each of two presses
    QTest::addRow("after Add: unlock again, then lock") << true << QList<bool>{false, true};
    QTest::addRow("after selecting with the toggle at 1: lock again, then unlock") << false << QList<bool>{true, false};
  }
  void editToggle() {
    QFETCH(bool, afterAdd);
    QFETCH(QList<bool>, readOnly);
    start();
    select("0");
    if (afterAdd) {
      MainForm->Button9Click();
    } else {
      MainForm->Button10Click();
      select("0.0");
      QVERIFY(MainForm->Edit3->isReadOnly());
    }
    QCOMPARE(tagOf(MainForm->Button10), afterAdd ? 0 : 1);
    for (bool ro : readOnly) {
      MainForm->Button10Click();
      QCOMPARE(MainForm->Edit3->isReadOnly(), ro);
      QCOMPARE(MainForm->Edit4->isReadOnly(), ro);
      QCOMPARE(MainForm->Button10->text(), QString("Edit"));
    }
  }

  void changeMarking_data() {
    QTest::addColumn<QString>("field");  // "" only selects another node
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("marked");
    QTest::addRow("showing another node") << "" << "" << "User: CodeItem" << false;
    QTest::addRow("user, label follows") << "Edit3" << "Ab" << "UserAb: CodeItem" << true;
    QTest::addRow("description") << "Edit4" << "!" << "User: CodeItem!" << true;
    QTest::addRow("code, label stays") << "Edit5" << "1." << "User: CodeItem" << true;
  }
  void changeMarking() {
    QFETCH(QString, field);
    QFETCH(QString, typed);
    QFETCH(QString, label);
    QFETCH(bool, marked);
    start();
    load(kExample);
    select("1.0");
    select("0.0");
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(0));
    if (!field.isEmpty()) {
      MainForm->Button10Click();
      auto* edit = MainForm->findChild<QLineEdit*>(field);
      edit->end(false);
      for (QChar c : typed) {
        QTest::keyClick(edit, c.toLatin1());
        QVERIFY(treeText() != "<shape broken>");  // the label is DisplayText after every key
      }
    }
    QCOMPARE(node("0.0")->text(0), label);
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(marked));
    if (field == "Edit5") QCOMPARE(node("0.0")->record->code, std::string("1."));
  }

  void drag_data() {
    QTest::addColumn<QString>("dragged");
    QTest::addColumn<QString>("over");  // "-" for empty space
    QTest::addColumn<bool>("dropped");
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QString>("moved");  // where the item is afterwards
    const QString hall = "--Hall: In 1 to 2-4 \"main\"=1V2,3,4.";
    QTest::addRow("onto a group: its end") << "0.0" << "1" << true
        << "Vantrel: CodeTree;-User: Group;" + hall + ";-Stage: A&B;--All: All to all=All#.;--User: CodeItem=" << "1.1";
    QTest::addRow("onto an item of another group: before it") << "1.0" << "0.1" << true
        << "Vantrel: CodeTree;-User: Group;--User: CodeItem=;--All: All to all=All#.;" + hall + ";-Stage: A&B" << "0.1";
    QTest::addRow("onto itself: stays, marked") << "0.1" << "0.1" << true << kExampleTree << "0.1";
    QTest::addRow("onto the root: nothing") << "0.0" << "" << true << kExampleTree << "";
    QTest::addRow("onto empty space: nothing") << "0.0" << "-" << true << kExampleTree << "";
    QTest::addRow("ended outside the tree: nothing") << "0.0" << "1" << false << kExampleTree << "";
    QTest::addRow("a group: nothing") << "0" << "1" << true << kExampleTree << "";
  }
  void drag() {
    QFETCH(QString, dragged);
    QFETCH(QString, over);
    QFETCH(bool, dropped);
    QFETCH(QString, tree);
    QFETCH(QString, moved);
    start();
    load(kExample);
    select(dragged);
    const TNode* record = node(dragged)->record.get();
    MainForm->TreeView1DragOver(over == "-" ? nullptr : node(over));
    MainForm->TreeView1EndDrag(dropped);
    QCOMPARE(treeText(), tree);
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(!moved.isEmpty()));
    if (!moved.isEmpty()) {
      QCOMPARE(node(moved)->record.get(), record);
      QCOMPARE(MainForm->TreeView1->selectedNode(), node(moved));
      QCOMPARE(MainForm->CurrentNode, node(moved));
    }
  }

  // A real drag by the mouse that ends without a drop on the tree (the offscreen platform
  // ends every drag that way): nothing moves, and the drag handlers ran.
  void mouseDragWithoutDrop() {
    start();
    load(kExample);
    MainForm->show();
    MainForm->PageControl->setCurrentWidget(MainForm->dxTabSheet4);
    QVERIFY(QTest::qWaitForWindowExposed(MainForm));
    QWidget* viewport = MainForm->TreeView1->viewport();
    const QPoint from = MainForm->TreeView1->visualItemRect(node("0.1")).center();
    QTest::mousePress(viewport, Qt::LeftButton, {}, from);
    QCOMPARE(MainForm->TreeView1->selectedNode(), node("0.1"));
    MainForm->CurrentNode = node("1");  // as if the pointer had passed over a group
    QTest::mouseMove(viewport, from + QPoint(0, 30));
    QTest::mouseMove(viewport, from + QPoint(0, 40));
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, from + QPoint(0, 40));
    QCOMPARE(treeText(), kExampleTree);
    QCOMPARE(MainForm->CodeTreeChanged, std::uint8_t(0));
  }
};

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  TestCodeGroups test;
  return QTest::qExec(&test, argc, argv);
}
#include "tst_codegroups.moc"
