#include <QTest>

#include "ValidateIp.h"

class TestValidateIp : public QObject {
  Q_OBJECT
 private slots:
  void validate_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("canonical");
    QTest::newRow("all zero") << "0.0.0.0" << true << "0.0.0.0";
    QTest::newRow("private address") << "192.168.0.10" << true << "192.168.0.10";
    QTest::newRow("top of range") << "255.255.255.255" << true << "255.255.255.255";
    QTest::newRow("leading zeros read as decimal") << "010.001.00.000" << true << "10.1.0.0";
    QTest::newRow("field above 255") << "256.1.1.1" << false << "";
    QTest::newRow("last field above 255") << "1.1.1.256" << false << "";
    QTest::newRow("three fields") << "1.2.3" << false << "";
    QTest::newRow("five fields") << "1.2.3.4.5" << false << "";
    QTest::newRow("empty field") << "1..2.3" << false << "";
    QTest::newRow("empty last field") << "1.2.3." << false << "";
    QTest::newRow("four-character field") << "0001.1.1.1" << false << "";
    QTest::newRow("letter in field") << "1.2.3.a" << false << "";
    QTest::newRow("hex-looking field") << "0x1.2.3.4" << false << "";
    QTest::newRow("space inside") << "1.2. 3.4" << false << "";
    QTest::newRow("trailing space") << "1.2.3.4 " << false << "";
    QTest::newRow("sign") << "+1.2.3.4" << false << "";
    QTest::newRow("negative") << "-1.2.3.4" << false << "";
    QTest::newRow("empty text") << "" << false << "";
    QTest::newRow("host name") << "localhost" << false << "";
  }
  void validate() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, canonical);
    QCOMPARE(ValidateIp(text), valid);
    QCOMPARE(CanonicalIp(text), canonical);
  }
};

QTEST_GUILESS_MAIN(TestValidateIp)
#include "tst_validateip.moc"
