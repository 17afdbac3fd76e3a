// MarkupDoc: parsing, lookup, editing in place and output, checked against exact offsets,
// bytes and messages, plus a randomised round trip of the editing operations.

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "MarkupDoc.h"

namespace {

QByteArray qb(const std::string& s) { return QByteArray::fromStdString(s); }
std::string str(const QByteArray& b) { return b.toStdString(); }

// (openBegin, openEnd, closeBegin, closeEnd, parent, firstChild, nextSibling)
QList<int> entryOf(const MarkupDoc& doc, int i) {
    const ElementEntry& e = doc.Entries().at(i);
    return {e.openBegin, e.openEnd, e.closeBegin, e.closeEnd, e.parent, e.firstChild, e.nextSibling};
}

// Every element name of the root's children, in order, found with FindSibling().
QStringList childNames(MarkupDoc& doc) {
    QStringList names;
    while (doc.FindSibling()) names << QString::fromStdString(doc.TagNameOf(doc.CurrentIndex()));
    return names;
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return "<unreadable>";
    return f.readAll();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Entries in document order (depth first from the root).
std::vector<int> documentOrder(const MarkupDoc& doc) {
    std::vector<int> order;
    std::vector<int> stack;
    if (doc.HasRoot()) stack.push_back(doc.Entries()[0].firstChild);
    while (!stack.empty()) {
        const int e = stack.back();
        stack.pop_back();
        order.push_back(e);
        std::vector<int> children;
        for (int c = doc.Entries()[e].firstChild; c != 0; c = doc.Entries()[c].nextSibling) children.push_back(c);
        stack.insert(stack.end(), children.rbegin(), children.rend());
    }
    return order;
}

// Offsets and depth of every element in document order: equal shapes mean equal trees.
QList<QList<int>> shapeOf(const MarkupDoc& doc) {
    QList<QList<int>> shape;
    for (int e : documentOrder(doc)) {
        const ElementEntry& x = doc.Entries()[e];
        int depth = 0;
        for (int up = x.parent; up != 0; up = doc.Entries()[up].parent) ++depth;
        shape.append({x.openBegin, x.openEnd, x.closeBegin, x.closeEnd, depth});
    }
    return shape;
}

// Positions a fresh parse of the document on what is entry target of the document's own
// index, using only the public navigation (a fresh parse may number entries differently, so
// the way down is taken by sibling positions).
bool walkTo(MarkupDoc& doc, int target) {
    std::vector<int> positions;  // position among its siblings, root level first
    for (int e = target; e != 0; e = doc.Entries()[e].parent) {
        int n = 0;
        for (int c = doc.Entries()[doc.Entries()[e].parent].firstChild; c != e; c = doc.Entries()[c].nextSibling) ++n;
        positions.insert(positions.begin(), n);
    }
    doc.AssignText(std::string(doc.Text()));
    for (size_t level = 0; level < positions.size(); ++level) {
        if (level > 0 && !doc.EnterElement()) return false;
        for (int n = 0; n <= positions[level]; ++n) {
            if (!doc.FindSibling()) return false;
        }
    }
    return true;
}

constexpr int kRoundTripSeeds = 200;
constexpr int kRoundTripSteps = 60;

}  // namespace

class TestMarkup : public QObject {
    Q_OBJECT

private slots:
    void parseIndexesOffsetsAndLinks();
    void parseFailures_data();
    void parseFailures();
    void endTagWithoutRootKeepsLastError();
    void skipsNodesThatAreNotElements_data();
    void skipsNodesThatAreNotElements();
    void onlyFirstTopLevelElementIsIndexed();
    void endTagSpellings_data();
    void endTagSpellings();
    void attributeLookup_data();
    void attributeLookup();
    void attributeLookupAfterEdit_data();
    void attributeLookupAfterEdit();
    void siblingsWithOtherAttributes();
    void findSiblingVisitsChildrenInOrder();
    void failedFindSiblingKeepsPosition();
    void queriesWithoutCurrentElement();
    void nestingLimit();
    void indexGrowsByHalf();
    void reassignReplacesEverything();
    void assignOwnText();
    void zeroByteEndsText();
    void zeroByteEndsLongText_data();
    void zeroByteEndsLongText();
    void loadFile();
    void loadFileFailures_data();
    void loadFileFailures();

    void appendWorkedSequence();
    void appendAndWriteEdgeCases_data();
    void appendAndWriteEdgeCases();
    void appendRefusals();
    void writeAttributeNumbers_data();
    void writeAttributeNumbers();
    void refusesNamesThatWouldNotReadBack_data();
    void refusesNamesThatWouldNotReadBack();
    void appendRefusesTooDeepNesting();
    void editsMatchReparse();
    void codeGroupFileBytes();

    void saveWritesExactBytes();
    void saveEmptyDocumentCreatesEmptyFile();
    void saveKeepsPermissionsAndLinks();
    void saveKeepsFileIdentity_data();
    void saveKeepsFileIdentity();
    void failedSaveKeepsOldFile();
};

// ---------------------------------------------------------------------------------------------
// Parsing

void TestMarkup::parseIndexesOffsetsAndLinks() {
    MarkupDoc doc;
    const char* text = "<a x=\"1\">\r\n<b/>\r\n<c></c>\r\n</a>\r\n";
    QCOMPARE(qstrlen(text), 32u);
    QVERIFY(doc.AssignText(text));
    QCOMPARE(entryOf(doc, 1), (QList<int>{0, 8, 26, 29, 0, 2, 0}));
    QCOMPARE(entryOf(doc, 2), (QList<int>{11, 14, 13, 14, 1, 0, 3}));
    QCOMPARE(entryOf(doc, 3), (QList<int>{17, 19, 20, 23, 1, 0, 0}));
    QCOMPARE(doc.Entries().at(0).firstChild, 1);
    QCOMPARE(doc.FreeIndex(), 4);
    QCOMPARE(doc.Entries().size(), size_t{8});
    QVERIFY(doc.HasRoot());
}

void TestMarkup::parseFailures_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("error");

    QTest::newRow("text without any tag") << QByteArray("just words") << QByteArray("Element tag not found");
    QTest::newRow("root never closed") << QByteArray("<CodeTree>") << QByteArray("Element tag not found");
    QTest::newRow("end tag of another name")
        << QByteArray("<CodeTree></Code>") << QByteArray("End tag does not correspond to CodeTree");
    QTest::newRow("outer end tag closes inner element")
        << QByteArray("<a><b></a>") << QByteArray("End tag does not correspond to b");
    QTest::newRow("quoted tag name") << QByteArray("<'x'>") << QByteArray("Tag starts with quote");
    QTest::newRow("start tag cut off") << QByteArray("<x") << QByteArray("End of tag not found");
    QTest::newRow("end tag cut off") << QByteArray("<x></x") << QByteArray("End tag not completed for element x");
    QTest::newRow("lone <") << QByteArray("<") << QByteArray("Abrupt end within tag");
    QTest::newRow("< and blanks only") << QByteArray("<  \r\n") << QByteArray("Abrupt end within tag");
    QTest::newRow("unclosed quote swallows >")
        << QByteArray("<a b=\"x></a>") << QByteArray("End of tag not found");
    QTest::newRow("comment never closed") << QByteArray("<!-- x <a/>") << QByteArray("Invalid node");
    QTest::newRow("instruction never closed") << QByteArray("<?xml <a/>") << QByteArray("Invalid node");
    QTest::newRow("cdata never closed") << QByteArray("<![CDATA[ <a/>") << QByteArray("Invalid node");
    QTest::newRow("doctype never closed") << QByteArray("<!DOCTYPE x [ <a/>") << QByteArray("Invalid node");
    QTest::newRow("<? at end of text") << QByteArray("<?") << QByteArray("Invalid node");
    QTest::newRow("blank between < and !") << QByteArray("< !-- c --><a/>") << QByteArray("Invalid node");
    QTest::newRow("blank between < and ?") << QByteArray("<\t?pi?><a/>") << QByteArray("Invalid node");
    QTest::newRow("blank before ! inside element")
        << QByteArray("<a>< !x></a>") << QByteArray("Invalid node");
    const QByteArray longName(5000, 'n');
    QTest::newRow("long name kept whole in message")
        << QByteArray("<" + longName + "></y>") << QByteArray("End tag does not correspond to " + longName);
    QTest::newRow("error deep inside")
        << QByteArray("<a><b><c/><d></e></b></a>") << QByteArray("End tag does not correspond to d");
    QTest::newRow("on line 3") << QByteArray("<a>\r\n<b/>\r\n</c>\r\n") << QByteArray("End tag does not correspond to a");
}

void TestMarkup::parseFailures() {
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, error);
    MarkupDoc doc;
    QVERIFY(doc.AssignText("<ok/>"));
    QVERIFY(!doc.AssignText(std::string_view(text.constData(), text.size())));
    QCOMPARE(qb(doc.LastError()), error);
    QCOMPARE(doc.LastErrorLine(), QByteArray(QTest::currentDataTag()) == "on line 3" ? 3 : 1);
    QVERIFY(!doc.HasRoot());
    QCOMPARE(doc.FreeIndex(), 1);
    QVERIFY(!doc.FindSibling());
    QCOMPARE(qb(doc.Text()), text);  // the text stays for what it is
}

void TestMarkup::endTagWithoutRootKeepsLastError() {
    MarkupDoc doc;
    QVERIFY(!doc.AssignText("<x"));
    const std::string before = doc.LastError();
    for (const char* text : {"</x>", "", "  </x> <y/>"}) {
        QVERIFY2(!doc.AssignText(text), text);
        QCOMPARE(doc.LastError(), before);
        QVERIFY(!doc.HasRoot());
    }
    QVERIFY(!doc.AssignText(nullptr));
    QCOMPARE(doc.LastError(), before);
}

void TestMarkup::skipsNodesThatAreNotElements_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("children");

    QTest::newRow("declaration, comment, cdata, doctype before root")
        << QByteArray("<?xml version=\"1.0\"?>\r\n<!-- note <x> -->\r\n<![CDATA[<y/>]]>"
                      "<!DOCTYPE x [ <!ENTITY a 'b'> ]>\r\n<root><c/></root>")
        << QStringList{"c"};
    QTest::newRow("shortest complete nodes") << QByteArray("<?><!--><root><c/></root>") << QStringList{"c"};
    QTest::newRow("doctype with quoted brackets and >")
        << QByteArray("<!DOCTYPE r [ <!ENTITY e \"]>\"> ]><root/>") << QStringList{};
    QTest::newRow("nodes between children")
        << QByteArray("<root><!-- <b/> --><c/><?pi <d/> ?><![CDATA[</root>]]><e/></root>")
        << QStringList{"c", "e"};
    QTest::newRow("text between children is skipped")
        << QByteArray("<root>one<c/>two\r\n<e></e>three</root>") << QStringList{"c", "e"};
}

void TestMarkup::skipsNodesThatAreNotElements() {
    QFETCH(QByteArray, text);
    QFETCH(QStringList, children);
    MarkupDoc doc;
    QVERIFY2(doc.AssignText(text.constData()), doc.LastError().c_str());
    QVERIFY(doc.FindSibling("root"));
    QVERIFY(doc.EnterElement());
    QCOMPARE(childNames(doc), children);
}

void TestMarkup::onlyFirstTopLevelElementIsIndexed() {
    MarkupDoc doc;
    QVERIFY(doc.AssignText("<x><y/></x><z/>"));
    QCOMPARE(doc.FreeIndex(), 3);
    QCOMPARE(childNames(doc), QStringList{"x"});
    // Whatever follows the root is never looked at, not even when it is broken.
    QVERIFY(doc.AssignText("<x/></broken <<<"));
}

void TestMarkup::endTagSpellings_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("blank after </") << QByteArray("<x></ x>");
    QTest::newRow("blank before >") << QByteArray("<x></x >");
    QTest::newRow("tokens after the name") << QByteArray("<x></x y>");
    QTest::newRow("line ends inside") << QByteArray("<x>\r\n</\r\nx\r\n>");
    QTest::newRow("blanks in start tag") << QByteArray("< x >\r\n</x>");
}

void TestMarkup::endTagSpellings() {
    QFETCH(QByteArray, text);
    MarkupDoc doc;
    QVERIFY2(doc.AssignText(text.constData()), doc.LastError().c_str());
    QCOMPARE(doc.Entries().at(1).closeEnd, text.size() - 1);
    QVERIFY(doc.FindSibling("x"));
}

void TestMarkup::attributeLookup_data() {
    QTest::addColumn<QByteArray>("tag");
    QTest::addColumn<QStringList>("names");   // AttributeNameAt(0), (1), ...
    QTest::addColumn<QStringList>("lookups"); // name=expected value pairs, as "name|value"

    QTest::newRow("entities decoded, numeric and cut-off ones kept")
        << QByteArray("<x a=\"1&amp;2&#65;&lt\" b=\"&lt;\"/>") << QStringList{"a", "b", ""}
        << QStringList{"a|1&2&#65;&lt", "b|<"};
    QTest::newRow("all five entities and a bare &")
        << QByteArray("<x v=\"&lt;&amp;&gt;&apos;&quot;&&amp\"/>") << QStringList{"v", ""}
        << QStringList{"v|<&>'\"&&amp"};
    QTest::newRow("single quotes") << QByteArray("<x a='1' b='say \"hi\"'/>") << QStringList{"a", "b", ""}
                                   << QStringList{"a|1", "b|say \"hi\""};
    QTest::newRow("unquoted value is never found")
        << QByteArray("<x a=1/>") << QStringList{"a", "1", ""} << QStringList{"a|", "1|"};
    QTest::newRow("empty name finds nothing") << QByteArray("<x a=\"1\"/>") << QStringList{"a"}
                                              << QStringList{"|"};
    QTest::newRow("first of two equal names counts")
        << QByteArray("<x a=\"1\" a=\"2\"/>") << QStringList{"a", "a", ""} << QStringList{"a|1"};
    QTest::newRow("name must match whole")
        << QByteArray("<x ab=\"1\" a=\"2\"/>") << QStringList{"ab", "a"} << QStringList{"a|2", "ab|1", "b|"};
    QTest::newRow("element with content, blanks around =")
        << QByteArray("<x  a = \"1\"\r\n\tb=\"\"></x>") << QStringList{"a", "b", ""} << QStringList{"a|1", "b|"};
    QTest::newRow("> inside a quoted value stays in the value")
        << QByteArray("<x a=\"p>q\" b=\"/>\"></x>") << QStringList{"a", "b", ""}
        << QStringList{"a|p>q", "b|/>"};
    QTest::newRow("line ends and high bytes kept")
        << QByteArray("<x a=\"l1\r\nl2\xe4\xb8\xad\"/>") << QStringList{"a"}
        << QStringList{QString::fromLatin1("a|l1\r\nl2\xe4\xb8\xad")};
    QTest::newRow("no attributes") << QByteArray("<x/>") << QStringList{""} << QStringList{"x|"};
    QTest::newRow("no blank between attributes")
        << QByteArray("<x a=\"1\"b='2'/>") << QStringList{"a", "b", ""} << QStringList{"a|1", "b|2"};
    QTest::newRow("blanks around the slash of an end tag")
        << QByteArray("<x a='1' / ></x>") << QStringList{"a", ""} << QStringList{"a|1"};
    QTest::newRow("attributes after a slash are not read")
        << QByteArray("<x a=\"1\" / b=\"2\"></x>") << QStringList{"a", ""} << QStringList{"a|1", "b|"};
    QTest::newRow("name without a value hides the next name")
        << QByteArray("<x a b=\"2\" c=\"3\"/>") << QStringList{"a", "c", ""} << QStringList{"a|", "b|2", "c|3"};
    QTest::newRow("two quoted tokens in a row")
        << QByteArray("<x a=\"1\"\"2\" b=\"3\"/>") << QStringList{"a", "b", ""} << QStringList{"a|1", "b|3"};
    QTest::newRow("quotes inside a name are plain characters")
        << QByteArray("<x a\"b=\"1\" c'=\"2\"/>") << QStringList{"a\"b", "c'", ""}
        << QStringList{"a\"b|1", "c'|2", "a|"};
    QTest::newRow("tag named by a delimiter")
        << QByteArray("<= a=\"1\"/>") << QStringList{"a", ""} << QStringList{"a|1"};
    QTest::newRow("tag named > has no attributes")
        << QByteArray("<> a=\"1\"></>") << QStringList{""} << QStringList{"a|"};
    QTest::newRow("the other quote and & inside a value")
        << QByteArray("<x a='&amp;\"' b=\"x&apos;'\"/>") << QStringList{"a", "b", ""}
        << QStringList{"a|&\"", "b|x''"};
    QTest::newRow("lookup by a name with a tail")
        << QByteArray("<x ab=\"1\" a=\"2\"/>") << QStringList{"ab", "a"} << QStringList{"a=|2", "a/|2", "ab[|1"};
}

void TestMarkup::attributeLookup() {
    QFETCH(QByteArray, tag);
    QFETCH(QStringList, names);
    QFETCH(QStringList, lookups);
    MarkupDoc doc;
    QVERIFY2(doc.AssignText(tag.constData()), doc.LastError().c_str());
    QVERIFY(doc.FindSibling());
    for (int n = 0; n < names.size(); ++n) {
        QCOMPARE(QString::fromStdString(doc.AttributeNameAt(n)), names[n]);
    }
    for (const QString& lookup : lookups) {
        const QStringList parts = lookup.split('|');
        QCOMPARE(qb(doc.AttributeValue(parts[0].toLatin1().toStdString())), parts[1].toLatin1());
    }
}

// Once the text has been edited, lookups scan the start tag afresh instead of using what the
// parse noted about it; both must read the same.
void TestMarkup::attributeLookupAfterEdit_data() { attributeLookup_data(); }

void TestMarkup::attributeLookupAfterEdit() {
    QFETCH(QByteArray, tag);
    QFETCH(QStringList, names);
    QFETCH(QStringList, lookups);
    MarkupDoc doc;
    const QByteArray text = "<r>" + tag + "</r>";
    QVERIFY2(doc.AssignText(text.constData()), doc.LastError().c_str());
    QVERIFY(doc.FindSibling("r"));
    QVERIFY(doc.WriteAttribute("e", "1"));
    QVERIFY(doc.EnterElement());
    QVERIFY(doc.FindSibling());
    QCOMPARE(qb(doc.Text()).mid(doc.Entries().at(doc.CurrentIndex()).openBegin, tag.size()), tag);
    for (int n = 0; n < names.size(); ++n) {
        QCOMPARE(QString::fromStdString(doc.AttributeNameAt(n)), names[n]);
    }
    for (const QString& lookup : lookups) {
        const QStringList parts = lookup.split('|');
        QCOMPARE(qb(doc.AttributeValue(parts[0].toLatin1().toStdString())), parts[1].toLatin1());
    }
}

// The parse expects each tag to repeat the previous one's text up to each value, and decodes
// values with an '&' as it goes; tags that differ, or that it gives up on half way, must still
// read right, and so must the tags after them.
void TestMarkup::siblingsWithOtherAttributes() {
    MarkupDoc doc;
    QVERIFY(doc.AssignText("<r><a Type=\"2\" User=\"u&amp;1\"/><b Typ=\"3\" User2=\"v\" X=\"x\"/>"
                           "<c Type=\"4\"/><d User=\"w\" Type=\"5\"/><e/><f Type=\"6\" User=\"z&lt;\"/>"
                           "<g Type=\"&gt;\" User/><h Type='7' User=\"&quot;\"/><i  Type=\"8\" User=\"&amp\"/></r>"));
    QVERIFY(doc.FindSibling("r"));
    QVERIFY(doc.EnterElement());
    const QList<QStringList> expected{{"Type=2", "User=u&1"}, {"Typ=3", "User2=v", "X=x"}, {"Type=4"},
                                      {"User=w", "Type=5"},   {},                            {"Type=6", "User=z<"},
                                      {"Type=>", "User="},    {"Type=7", "User=\""},         {"Type=8", "User=&amp"}};
    for (const QStringList& attributes : expected) {
        QVERIFY(doc.FindSibling());
        QStringList read;
        for (int n = 0; !doc.AttributeNameAt(n).empty(); ++n) {
            const std::string name = doc.AttributeNameAt(n);
            read << QString::fromStdString(name + "=" + doc.AttributeValue(name));
        }
        QCOMPARE(read, attributes);
    }
    QCOMPARE(qb(doc.AttributeValue("Type")), QByteArray("8"));
    QCOMPARE(qb(doc.AttributeValue("Typ")), QByteArray());
}

void TestMarkup::findSiblingVisitsChildrenInOrder() {
    MarkupDoc doc;
    QVERIFY(doc.AssignText("<CodeTree><0 Type=\"2\"/><item/>\r\n<17><n/></17><0/></CodeTree>"));
    QVERIFY(doc.FindSibling("CodeTree"));
    QVERIFY(doc.EnterElement());
    QCOMPARE(childNames(doc), (QStringList{"0", "item", "17", "0"}));

    QVERIFY(doc.AssignText("<r><0/><item/><17/><item/></r>"));
    QVERIFY(doc.FindSibling("r"));
    QVERIFY(doc.EnterElement());
    QVERIFY(doc.FindSibling("item"));
    QCOMPARE(doc.CurrentIndex(), 3);
    QVERIFY(doc.FindSibling("item"));
    QCOMPARE(doc.CurrentIndex(), 5);
    QVERIFY(!doc.FindSibling("item"));
}

void TestMarkup::failedFindSiblingKeepsPosition() {
    MarkupDoc doc;
    QVERIFY(doc.AssignText("<r><a v=\"1\"/><b/></r>"));
    QVERIFY(!doc.FindSibling("a"));  // a is not at the top level
    QCOMPARE(doc.CurrentIndex(), 0);
    QVERIFY(doc.FindSibling("r"));
    QVERIFY(doc.EnterElement());
    QVERIFY(doc.FindSibling("a"));
    QVERIFY(!doc.FindSibling("zz"));
    QCOMPARE(doc.CurrentIndex(), 2);
    QCOMPARE(qb(doc.AttributeValue("v")), QByteArray("1"));
    // Entering an element without children leaves no current element but stays inside it.
    QVERIFY(doc.EnterElement());
    QCOMPARE(doc.ParentIndex(), 2);
    QCOMPARE(doc.NodeKind(), 0);
    QVERIFY(!doc.FindSibling());
    QVERIFY(!doc.EnterElement());
}

void TestMarkup::queriesWithoutCurrentElement() {
    MarkupDoc doc;
    QVERIFY(!doc.HasRoot());
    QVERIFY(!doc.FindSibling());
    QVERIFY(!doc.EnterElement());
    QCOMPARE(doc.AttributeNameAt(0), std::string());
    QCOMPARE(doc.AttributeValue("x"), std::string());
    QVERIFY(!doc.WriteAttribute("x", "1"));
    QVERIFY(doc.AssignText("<r a=\"1\"/>"));
    QCOMPARE(doc.AttributeNameAt(0), std::string());  // nothing is current right after parsing
    QCOMPARE(doc.AttributeNameAt(-1), std::string());
    QVERIFY(!doc.WriteAttribute("x", "1"));
    QCOMPARE(qb(doc.Text()), QByteArray("<r a=\"1\"/>"));
}

void TestMarkup::nestingLimit() {
    const auto nested = [](int depth) {
        std::string s;
        for (int i = 0; i < depth; ++i) s += "<e>";
        for (int i = 0; i < depth; ++i) s += "</e>";
        return s;
    };
    MarkupDoc doc;
    QVERIFY(doc.AssignText(nested(MarkupDoc::kMaxDepth)));
    QCOMPARE(doc.FreeIndex(), MarkupDoc::kMaxDepth + 1);
    QVERIFY(!doc.AssignText(nested(MarkupDoc::kMaxDepth + 1)));
    QCOMPARE(qb(doc.LastError()), QByteArray("Element nesting too deep"));
    // Far deeper than any stack would take, still a plain failure.
    QVERIFY(!doc.AssignText(std::string(1'000'000, '<').replace(0, 0, "<a>")));
    QVERIFY(!doc.AssignText(nested(100'000)));
    QCOMPARE(qb(doc.LastError()), QByteArray("Element nesting too deep"));
}

void TestMarkup::indexGrowsByHalf() {
    std::string text = "<a>";
    constexpr int kChildren = 20;
    for (int i = 0; i < kChildren; ++i) text += "<b/>";
    text += "</a>";
    MarkupDoc doc;
    QVERIFY(doc.AssignText(text));
    QCOMPARE(doc.FreeIndex(), kChildren + 2);
    // 87 characters start the index at 9 entries; full, it grows by half: 13, 19, 28.
    QCOMPARE(doc.Entries().size(), size_t{28});
    QCOMPARE(entryOf(doc, kChildren + 1), (QList<int>{79, 82, 81, 82, 1, 0, 0}));
}

void TestMarkup::reassignReplacesEverything() {
    MarkupDoc doc;
    QVERIFY(doc.AssignText("<big><a/><b/><c/><d/><e/><f/><g/><h/><i/><j/></big>"));
    const size_t grown = doc.Entries().size();
    QVERIFY(doc.FindSibling());
    QVERIFY(doc.EnterElement());
    QVERIFY(doc.FindSibling());
    QVERIFY(doc.AssignText("<s k=\"v\"/>"));
    QCOMPARE(doc.Entries().size(), grown);  // never shrinks
    QCOMPARE(doc.FreeIndex(), 2);
    QCOMPARE(doc.ParentIndex(), 0);
    QCOMPARE(doc.CurrentIndex(), 0);
    QVERIFY(doc.FindSibling("s"));
    QCOMPARE(qb(doc.AttributeValue("k")), QByteArray("v"));
    QVERIFY(!doc.EnterElement() || !doc.FindSibling());
}

// The new text is copied into the old text's storage, so assigning a piece of the document's own
// text must read it before overwriting it.
void TestMarkup::assignOwnText() {
    MarkupDoc doc;
    const std::string original = "<r a=\"1\"><c b=\"&lt;2\"/></r>";
    QVERIFY(doc.AssignText(original));
    const std::vector<ElementEntry> entries(doc.Entries().begin(), doc.Entries().begin() + doc.FreeIndex());
    QVERIFY(doc.AssignText(doc.Text()));
    QCOMPARE(doc.Text(), original);
    QCOMPARE(doc.FreeIndex(), 3);
    for (int i = 0; i < doc.FreeIndex(); ++i) {
        QCOMPARE(doc.Entries().at(i).openBegin, entries.at(i).openBegin);
        QCOMPARE(doc.Entries().at(i).closeEnd, entries.at(i).closeEnd);
    }
    QVERIFY(doc.AssignText(std::string_view(doc.Text()).substr(9, 14)));
    QCOMPARE(qb(doc.Text()), QByteArray("<c b=\"&lt;2\"/>"));
    QVERIFY(doc.FindSibling("c"));
    QCOMPARE(qb(doc.AttributeValue("b")), QByteArray("<2"));
}

// A text assigned over a larger one is copied in blocks; a zero byte ends it wherever it falls.
void TestMarkup::zeroByteEndsLongText_data() {
    QTest::addColumn<int>("zeroAt");  // -1: none
    QTest::newRow("in the first 64 bytes") << 40;
    QTest::newRow("in a 16-byte block after them") << 70;
    QTest::newRow("in a later round of 64") << 150;
    QTest::newRow("among the last bytes") << 197;
    QTest::newRow("none") << -1;
}

void TestMarkup::zeroByteEndsLongText() {
    QFETCH(int, zeroAt);
    constexpr int kLength = 200;
    std::string text = "<r>" + std::string(kLength - 7, 'x') + "</r>";
    if (zeroAt >= 0) text[static_cast<size_t>(zeroAt)] = '\0';
    MarkupDoc doc;
    QVERIFY(doc.AssignText(std::string(2 * kLength, ' ') + "<big/>"));  // leaves room to copy into
    QCOMPARE(doc.AssignText(std::string_view(text)), zeroAt < 0);
    QCOMPARE(doc.Text(), text.substr(0, zeroAt < 0 ? text.size() : static_cast<size_t>(zeroAt)));
}

void TestMarkup::zeroByteEndsText() {
    MarkupDoc doc;
    const std::string withZero("<a/>\0<b", 7);
    QVERIFY(doc.AssignText(std::string_view(withZero)));
    QCOMPARE(qb(doc.Text()), QByteArray("<a/>"));

    QTemporaryDir dir;
    const QString path = dir.filePath("zero.cgf");
    QVERIFY(writeFile(path, QByteArray("<r><c/></r>\0<junk", 17)));
    QVERIFY(doc.LoadFile(str(path.toUtf8())));
    QCOMPARE(qb(doc.Text()), QByteArray("<r><c/></r>"));
    QVERIFY(writeFile(path, QByteArray("<r>\0</r>", 8)));
    QVERIFY(!doc.LoadFile(str(path.toUtf8())));
}

void TestMarkup::loadFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath("tree.cgf");
    const QByteArray bytes("<CodeTree User=\"u\">\r\n<0 Type=\"2\"/>\r\n</CodeTree>\r\n");
    QVERIFY(writeFile(path, bytes));
    MarkupDoc doc;
    QVERIFY(doc.LoadFile(str(path.toUtf8())));
    QCOMPARE(qb(doc.Text()), bytes);
    QVERIFY(doc.FindSibling("CodeTree"));
    QCOMPARE(qb(doc.AttributeValue(doc.AttributeNameAt(0))), QByteArray("u"));
}

void TestMarkup::loadFileFailures_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing file") << "missing";
    QTest::newRow("empty file") << "empty";
    QTest::newRow("directory") << "directory";
    QTest::newRow("fifo with no writer") << "fifo";
    QTest::newRow("malformed text") << "malformed";
    QTest::newRow("empty path") << "path";
}

void TestMarkup::loadFileFailures() {
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QString path = dir.filePath("f.cgf");
    if (kind == "empty") QVERIFY(writeFile(path, QByteArray()));
    if (kind == "directory") path = dir.path();
    if (kind == "fifo") QCOMPARE(::mkfifo(path.toUtf8().constData(), 0600), 0);
    if (kind == "malformed") QVERIFY(writeFile(path, "<a><b></a>"));
    if (kind == "path") path.clear();

    MarkupDoc doc;
    QVERIFY(doc.AssignText("<old/>"));
    QVERIFY(!doc.LoadFile(str(path.toUtf8())));
    QVERIFY(!doc.HasRoot());
    QVERIFY(doc.Text().empty());
    QVERIFY(!doc.FindSibling());
}

// ---------------------------------------------------------------------------------------------
// Editing

void TestMarkup::appendWorkedSequence() {
    MarkupDoc doc;
    QVERIFY(!doc.AssignText(""));
    QVERIFY(doc.AppendElement("CodeTree"));
    QCOMPARE(qb(doc.Text()), QByteArray("<CodeTree/>\r\n"));
    QVERIFY(doc.WriteAttribute("User", "Vantrel"));
    QCOMPARE(qb(doc.Text()), QByteArray("<CodeTree User=\"Vantrel\"/>\r\n"));
    QVERIFY(doc.EnterElement());
    QVERIFY(doc.AppendElement("0"));
    const QByteArray third("<CodeTree User=\"Vantrel\">\r\n<0/>\r\n</CodeTree>\r\n");
    QCOMPARE(qb(doc.Text()), third);
    QCOMPARE(doc.Entries().at(1).closeBegin, third.indexOf("</CodeTree>"));
    QCOMPARE(doc.Entries().at(1).closeEnd, third.size() - 3);
    QCOMPARE(doc.Entries().at(1).openEnd, third.indexOf('>'));
    QCOMPARE(entryOf(doc, 2), (QList<int>{27, 30, 29, 30, 1, 0, 0}));
    QVERIFY(doc.WriteAttribute("Type", 2));
    QCOMPARE(qb(doc.Text()), QByteArray("<CodeTree User=\"Vantrel\">\r\n<0 Type=\"2\"/>\r\n</CodeTree>\r\n"));
    QVERIFY(doc.AppendElement("1"));
    const QByteArray last("<CodeTree User=\"Vantrel\">\r\n<0 Type=\"2\"/>\r\n<1/>\r\n</CodeTree>\r\n");
    QCOMPARE(qb(doc.Text()), last);
    QCOMPARE(entryOf(doc, 3), (QList<int>{42, 45, 44, 45, 1, 0, 0}));
    QCOMPARE(doc.Entries().at(1).closeBegin, last.indexOf("</CodeTree>"));
    QCOMPARE(doc.Entries().at(2).nextSibling, 3);
}

void TestMarkup::appendAndWriteEdgeCases_data() {
    QTest::addColumn<QByteArray>("start");
    QTest::addColumn<QStringList>("path");     // FindSibling names, "enter" for EnterElement
    QTest::addColumn<QStringList>("ops");      // "append|name|content" or "attr|name|value"
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("first child of an empty element")
        << QByteArray("<a/>\r\n") << QStringList{"a", "enter"} << QStringList{"append|c|"}
        << QByteArray("<a>\r\n<c/>\r\n</a>\r\n");
    QTest::newRow("first child of an empty element with attributes and blanks")
        << QByteArray("< a k=\"v\"/>") << QStringList{"a", "enter"} << QStringList{"append|c|"}
        << QByteArray("< a k=\"v\">\r\n<c/>\r\n</a>");
    QTest::newRow("content keeps quotes, escapes < and &")
        << QByteArray("<a>\r\n<b/>\r\n</a>\r\n") << QStringList{"a", "enter", "b"}
        << QStringList{"append|c|x<y&z'\""} << QByteArray("<a>\r\n<b/>\r\n<c>x&lt;y&amp;z'\"</c>\r\n</a>\r\n");
    QTest::newRow("new element goes after text content")
        << QByteArray("<a>text</a>") << QStringList{"a", "enter"} << QStringList{"append|c|"}
        << QByteArray("<a>text<c/>\r\n</a>");
    QTest::newRow("text after current element stays behind the new one")
        << QByteArray("<a><b/> tail <d/></a>") << QStringList{"a", "enter", "b"} << QStringList{"append|c|"}
        << QByteArray("<a><b/><c/>\r\n tail <d/></a>");
    QTest::newRow("blanks after current element are skipped")
        << QByteArray("<a><b/>\r\n  <d/></a>") << QStringList{"a", "enter", "b"} << QStringList{"append|c|"}
        << QByteArray("<a><b/>\r\n  <c/>\r\n<d/></a>");
    QTest::newRow("replace and add attributes")
        << QByteArray("<a x=\"1\"/>") << QStringList{"a"} << QStringList{"attr|x|22", "attr|y|"}
        << QByteArray("<a x=\"22\" y=\"\"/>");
    QTest::newRow("replace inside single quotes, add to element with content")
        << QByteArray("<a x='1'><b/></a>") << QStringList{"a"} << QStringList{"attr|x|it's", "attr|z|3"}
        << QByteArray("<a x='it&apos;s' z=\"3\"><b/></a>");
    QTest::newRow("attribute values are encoded")
        << QByteArray("<a/>") << QStringList{"a"} << QStringList{"attr|s|say \"all\" <now>", "attr|t|A&B"}
        << QByteArray("<a s=\"say &quot;all&quot; &lt;now&gt;\" t=\"A&amp;B\"/>");
    QTest::newRow("attributes on a later sibling shift the parent's end tag")
        << QByteArray("<r><a/><b/></r>") << QStringList{"r", "enter", "a"}
        << QStringList{"attr|k|1", "append|n|", "attr|m|2"}
        << QByteArray("<r><a k=\"1\"/><n m=\"2\"/>\r\n<b/></r>");
}

void TestMarkup::appendAndWriteEdgeCases() {
    QFETCH(QByteArray, start);
    QFETCH(QStringList, path);
    QFETCH(QStringList, ops);
    QFETCH(QByteArray, expected);
    MarkupDoc doc;
    QVERIFY(doc.AssignText(start.constData()));
    for (const QString& step : path) {
        QVERIFY2(step == "enter" ? doc.EnterElement() : doc.FindSibling(step.toStdString()), qPrintable(step));
    }
    for (const QString& op : ops) {
        const QStringList f = op.split('|');
        const std::string a = f[1].toLatin1().toStdString(), b = f[2].toLatin1().toStdString();
        QVERIFY(f[0] == "append" ? doc.AppendElement(a, b) : doc.WriteAttribute(a, b));
    }
    QCOMPARE(qb(doc.Text()), expected);
    // The index maintained in place must equal a fresh parse of the new text.
    MarkupDoc fresh;
    QVERIFY(fresh.AssignText(doc.Text()));
    QCOMPARE(shapeOf(doc), shapeOf(fresh));
}

void TestMarkup::appendRefusals() {
    MarkupDoc doc;
    doc.AssignText("");
    QVERIFY(doc.AppendElement("CodeTree"));
    QCOMPARE(qb(doc.Text()), QByteArray("<CodeTree/>\r\n"));
    QVERIFY(!doc.AppendElement("Second"));
    QCOMPARE(qb(doc.Text()), QByteArray("<CodeTree/>\r\n"));
    QCOMPARE(doc.CurrentIndex(), 1);

    QVERIFY(doc.AssignText("<r/>"));
    QVERIFY(!doc.AppendElement("x"));
    QCOMPARE(qb(doc.Text()), QByteArray("<r/>"));

    // Splitting "<r x//>" would leave "<r x/>" plus the child: still empty when read back.
    QVERIFY(doc.AssignText("<r x//>"));
    QVERIFY(doc.FindSibling());
    QVERIFY(doc.EnterElement());
    QVERIFY(!doc.AppendElement("c"));
    QCOMPARE(qb(doc.Text()), QByteArray("<r x//>"));
}

void TestMarkup::writeAttributeNumbers_data() {
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("zero") << 0 << QByteArray("0");
    QTest::newRow("negative") << -42 << QByteArray("-42");
    QTest::newRow("lowest") << INT32_MIN << QByteArray("-2147483648");
    QTest::newRow("highest") << INT32_MAX << QByteArray("2147483647");
}

void TestMarkup::writeAttributeNumbers() {
    QFETCH(int, value);
    QFETCH(QByteArray, written);
    MarkupDoc doc;
    doc.AssignText("");
    QVERIFY(doc.AppendElement("n"));
    QVERIFY(doc.WriteAttribute("Type", value));
    QCOMPARE(qb(doc.Text()), "<n Type=\"" + written + "\"/>\r\n");
}

void TestMarkup::refusesNamesThatWouldNotReadBack_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("blank inside") << QByteArray("a b");
    QTest::newRow("slash") << QByteArray("a/b");
    QTest::newRow("greater than") << QByteArray("a>");
    QTest::newRow("equals") << QByteArray("a=b");
    QTest::newRow("leading quote") << QByteArray("\"a");
    QTest::newRow("question mark") << QByteArray("?x");
    QTest::newRow("line feed") << QByteArray("a\nb");
    QTest::newRow("zero byte") << QByteArray("a\0b", 3);
}

void TestMarkup::refusesNamesThatWouldNotReadBack() {
    QFETCH(QByteArray, name);
    const std::string_view n(name.constData(), name.size());
    MarkupDoc doc;
    doc.AssignText("");
    QVERIFY(!doc.AppendElement(n));
    QVERIFY(doc.Text().empty());
    QVERIFY(doc.AppendElement("ok"));
    QVERIFY(!doc.WriteAttribute(n, "v"));
    QVERIFY(doc.EnterElement());
    QVERIFY(!doc.AppendElement(n, "content"));
    QCOMPARE(qb(doc.Text()), QByteArray("<ok/>\r\n"));
}

void TestMarkup::appendRefusesTooDeepNesting() {
    MarkupDoc doc;
    doc.AssignText("");
    for (int depth = 1; depth <= MarkupDoc::kMaxDepth; ++depth) {
        QVERIFY(doc.AppendElement("e"));
        QVERIFY(doc.EnterElement());
    }
    const std::string before = doc.Text();
    QVERIFY(!doc.AppendElement("e"));
    QCOMPARE(doc.Text(), before);
    MarkupDoc fresh;
    QVERIFY(fresh.AssignText(doc.Text()));  // what was built can be read back
}

// Random runs of appends, attribute writes and moves from an empty document. After every
// edit the in-place index must describe the same elements as a fresh parse of the text, and
// every value written must read back through the loader's lookups.
void TestMarkup::editsMatchReparse() {
    const std::vector<std::string> values = {"", "plain", "<&>'\"", "&amp; &#65;", "line\r\nbreak\ttab",
                                             "\xe4\xb8\xad\xff", "a=\"b\" />", "]]> --> ?>"};
    const std::vector<std::string> names = {"0", "17", "CodeTree", "Type", "x-y", "a.b", "n[1]"};
    for (int seed = 0; seed < kRoundTripSeeds; ++seed) {
        std::mt19937 rng(seed);
        const auto pick = [&rng](const auto& v) { return v[rng() % v.size()]; };
        MarkupDoc doc;
        doc.AssignText("");
        std::map<int, std::map<std::string, std::string>> written;  // entry -> name -> value
        for (int step = 0; step < kRoundTripSteps; ++step) {
            switch (rng() % 6) {
            case 0:
            case 1:
                doc.AppendElement(pick(names), rng() % 4 == 0 ? pick(values) : std::string());
                break;
            case 2:
                doc.EnterElement();
                break;
            case 3: {
                const std::string name = pick(names), value = pick(values);
                if (doc.WriteAttribute(name, value)) written[doc.CurrentIndex()][name] = value;
                break;
            }
            case 4:
                if (!doc.FindSibling()) {
                    // Back to the top: a fresh parse numbers entries in document order.
                    const std::vector<int> before = documentOrder(doc);
                    const bool hadRoot = doc.HasRoot();
                    QCOMPARE(doc.AssignText(doc.Text()), hadRoot);
                    const std::vector<int> after = documentOrder(doc);
                    QCOMPARE(after.size(), before.size());
                    std::map<int, std::map<std::string, std::string>> renumbered;
                    for (size_t n = 0; n < before.size(); ++n) {
                        if (written.count(before[n])) renumbered[after[n]] = written[before[n]];
                    }
                    written.swap(renumbered);
                }
                break;
            default: {
                const std::string name = pick(names);
                const int32_t value = static_cast<int32_t>(rng());
                if (doc.WriteAttribute(name, value)) written[doc.CurrentIndex()][name] = std::to_string(value);
                break;
            }
            }
            MarkupDoc fresh;
            const bool parsed = fresh.AssignText(doc.Text());
            QVERIFY2(parsed == doc.HasRoot(), fresh.LastError().c_str());
            if (shapeOf(doc) != shapeOf(fresh)) {
                QFAIL(qPrintable(QString("seed %1 step %2:\n%3")
                                     .arg(seed).arg(step).arg(QString::fromLatin1(qb(doc.Text())))));
            }
        }
        for (const auto& [entry, attrs] : written) {
            MarkupDoc probe(doc);
            QVERIFY(walkTo(probe, entry));
            for (const auto& [name, value] : attrs) {
                if (probe.AttributeValue(name) != value) {
                    QFAIL(qPrintable(QString("seed %1 entry %2 attribute %3:\n%4")
                                         .arg(seed).arg(entry).arg(QString::fromStdString(name),
                                                                   QString::fromLatin1(qb(doc.Text())))));
                }
            }
        }
    }
}

// The code group file of the worked example, built the way its writer builds it.
void TestMarkup::codeGroupFileBytes() {
    struct Node {
        int type;
        const char* user;
        const char* description;
        const char* code;
    };
    const Node nodes[] = {{2, "User", "Group", ""},
                          {3, "User", "CodeItem", ""},
                          {3, "Hall", "In 1 to 2-4 \"main\"", "1V2,3,4."},
                          {2, "Stage", "A&B", ""},
                          {3, "All", "All to all", "All#."}};
    MarkupDoc doc;
    doc.AssignText("");
    QVERIFY(doc.AppendElement("CodeTree"));
    QVERIFY(doc.WriteAttribute("User", "Vantrel"));
    QVERIFY(doc.WriteAttribute("Description", "CodeTree"));
    QVERIFY(doc.EnterElement());
    int n = 0;
    for (const Node& node : nodes) {
        QVERIFY(doc.AppendElement(std::to_string(n++)));
        QVERIFY(doc.WriteAttribute("Type", node.type));
        QVERIFY(doc.WriteAttribute("User", node.user));
        QVERIFY(doc.WriteAttribute("Description", node.description));
        QVERIFY(doc.WriteAttribute("Code", node.code));
    }
    const QByteArray expected =
        "<CodeTree User=\"Vantrel\" Description=\"CodeTree\">\r\n"
        "<0 Type=\"2\" User=\"User\" Description=\"Group\" Code=\"\"/>\r\n"
        "<1 Type=\"3\" User=\"User\" Description=\"CodeItem\" Code=\"\"/>\r\n"
        "<2 Type=\"3\" User=\"Hall\" Description=\"In 1 to 2-4 &quot;main&quot;\" Code=\"1V2,3,4.\"/>\r\n"
        "<3 Type=\"2\" User=\"Stage\" Description=\"A&amp;B\" Code=\"\"/>\r\n"
        "<4 Type=\"3\" User=\"All\" Description=\"All to all\" Code=\"All#.\"/>\r\n"
        "</CodeTree>\r\n";
    QCOMPARE(qb(doc.Text()), expected);
    QCOMPARE(doc.Text().size(), size_t{384});

    // Read back the way the loader reads: values by attribute position.
    MarkupDoc back;
    QVERIFY(back.AssignText(doc.Text()));
    QVERIFY(back.FindSibling("CodeTree"));
    QCOMPARE(qb(back.AttributeValue(back.AttributeNameAt(1))), QByteArray("CodeTree"));
    QVERIFY(back.EnterElement());
    for (const Node& node : nodes) {
        QVERIFY(back.FindSibling());
        QCOMPARE(back.AttributeValue(back.AttributeNameAt(0)), std::to_string(node.type));
        QCOMPARE(back.AttributeValue(back.AttributeNameAt(1)), std::string(node.user));
        QCOMPARE(back.AttributeValue(back.AttributeNameAt(2)), std::string(node.description));
        QCOMPARE(back.AttributeValue(back.AttributeNameAt(3)), std::string(node.code));
        QCOMPARE(back.AttributeValue(back.AttributeNameAt(4)), std::string());
    }
    QVERIFY(!back.FindSibling());
}

// ---------------------------------------------------------------------------------------------
// Output

void TestMarkup::saveWritesExactBytes() {
    QTemporaryDir dir;
    const QString path = dir.filePath("out.cgf");
    QVERIFY(writeFile(path, QByteArray(1000, 'x')));  // a longer old file must not leave a tail
    MarkupDoc doc;
    const QByteArray bytes("<r a=\"\xff\xfe\">\r\n<0/>\r\n</r>\r\n");
    QVERIFY(doc.AssignText(bytes.constData()));
    QVERIFY(doc.SaveFile(str(path.toUtf8())));
    QCOMPARE(readFile(path), bytes);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"out.cgf"});
}

void TestMarkup::saveEmptyDocumentCreatesEmptyFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath("empty.cgf");
    MarkupDoc doc;
    QVERIFY(doc.SaveFile(str(path.toUtf8())));
    QVERIFY(QFile::exists(path));
    QCOMPARE(QFileInfo(path).size(), 0);
}

void TestMarkup::saveKeepsPermissionsAndLinks() {
    QTemporaryDir dir;
    const QString real = dir.filePath("real.cgf");
    const QString link = dir.filePath("link.cgf");
    QVERIFY(writeFile(real, "old"));
    QCOMPARE(::chmod(real.toUtf8().constData(), 0640), 0);
    QCOMPARE(::symlink("real.cgf", link.toUtf8().constData()), 0);
    MarkupDoc doc;
    QVERIFY(doc.AssignText("<r/>"));
    QVERIFY(doc.SaveFile(str(link.toUtf8())));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(readFile(real), QByteArray("<r/>"));
    struct stat st {};
    QCOMPARE(::stat(real.toUtf8().constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0640u);

    // A link whose target does not exist yet (through a second, relative link): the target
    // is created and both links stay.
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    const QString last = dir.filePath("sub/last.cgf");
    const QString first = dir.filePath("first.cgf");
    QCOMPARE(::symlink("new.cgf", last.toUtf8().constData()), 0);
    QCOMPARE(::symlink("sub/last.cgf", first.toUtf8().constData()), 0);
    QVERIFY(doc.SaveFile(str(first.toUtf8())));
    QVERIFY(QFileInfo(first).isSymLink());
    QVERIFY(QFileInfo(last).isSymLink());
    QCOMPARE(readFile(dir.filePath("sub/new.cgf")), QByteArray("<r/>"));
}

// Where a rename would part hard links or no temporary file can be made beside the file,
// the file is rewritten in place: same inode, same mode, every link sees the new text.
void TestMarkup::saveKeepsFileIdentity_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("second hard link") << "link";
    QTest::newRow("no room for a temporary name") << "long";
    QTest::newRow("read-only folder, writable file") << "readonly";
}

void TestMarkup::saveKeepsFileIdentity() {
    QFETCH(QString, kind);
    if (kind == "readonly" && ::geteuid() == 0) QSKIP("root writes into a read-only folder");
    QTemporaryDir dir;
    const QString path = dir.filePath(kind == "long" ? QString(250, 'n') : QStringLiteral("f.cgf"));
    QVERIFY(writeFile(path, "old"));
    QCOMPARE(::chmod(path.toUtf8().constData(), 0604), 0);
    if (kind == "link") QCOMPARE(::link(path.toUtf8().constData(), dir.filePath("other").toUtf8().constData()), 0);
    struct stat before {}, after {};
    QCOMPARE(::stat(path.toUtf8().constData(), &before), 0);
    if (kind == "readonly") QCOMPARE(::chmod(dir.path().toUtf8().constData(), 0555), 0);
    MarkupDoc doc;
    QVERIFY(doc.AssignText("<r/>"));
    const bool saved = doc.SaveFile(str(path.toUtf8()));
    ::chmod(dir.path().toUtf8().constData(), 0755);
    QVERIFY(saved);
    QCOMPARE(readFile(path), QByteArray("<r/>"));
    QCOMPARE(::stat(path.toUtf8().constData(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mode & 0777, 0604u);
    if (kind == "link") QCOMPARE(readFile(dir.filePath("other")), QByteArray("<r/>"));
}

void TestMarkup::failedSaveKeepsOldFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath("keep.cgf");
    const QByteArray old("<CodeTree User=\"old\"/>\r\n");
    QVERIFY(writeFile(path, old));
    MarkupDoc doc;
    QVERIFY(doc.AssignText(std::string(64 * 1024, ' ') + "<big/>"));

    // A file size limit stands in for a full disk: the write stops part-way.
    constexpr rlim_t kLimitBytes = 4096;
    struct rlimit saved {};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = kLimitBytes;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved_ok = doc.SaveFile(str(path.toUtf8()));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(!saved_ok);
    QCOMPARE(readFile(path), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"keep.cgf"});

    QVERIFY(!doc.SaveFile(str(dir.filePath("no/such/dir/x.cgf").toUtf8())));
    QVERIFY(!doc.SaveFile(str(dir.path().toUtf8())));  // a directory is not replaced
    QVERIFY(!doc.SaveFile(""));
}

QTEST_GUILESS_MAIN(TestMarkup)
#include "tst_markup.moc"
