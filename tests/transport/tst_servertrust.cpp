#include "servertrust.h"

#include <QtTest>

namespace {

const QString kOld = QString(64, QLatin1Char('a'));
const QString kNew = QString(63, QLatin1Char('b')) + QLatin1Char('c');
const QString kServer = QStringLiteral("192.0.2.7:4060");

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no file>");
}

} // namespace

// A client's certificate decisions: pinned, first meeting, known, changed, and a
// known-servers file that a person may have edited by hand.
class TestServerTrust : public QObject
{
    Q_OBJECT

private slots:
    void decisions_data();
    void decisions();
    void firstMeetingIsRememberedForNextTime();
    void fingerprintTexts_data();
    void fingerprintTexts();
};

void TestServerTrust::decisions_data()
{
    QTest::addColumn<QString>("pin");
    QTest::addColumn<QByteArray>("knownServers");
    QTest::addColumn<QString>("presented");
    QTest::addColumn<int>("decision");
    QTest::addColumn<QStringList>("messageNames");
    QTest::addColumn<int>("warnings");

    const QByteArray knowsOld = kServer.toUtf8() + ' ' + kOld.toLatin1() + '\n';
    QTest::newRow("a first meeting is accepted")
        << QString() << QByteArray() << kNew << int(ServerTrust::FirstMeeting) << QStringList()
        << 0;
    QTest::newRow("the same certificate again is known")
        << QString() << knowsOld << kOld << int(ServerTrust::Known) << QStringList() << 0;
    QTest::newRow("a changed certificate is refused, naming both fingerprints")
        << QString() << knowsOld << kNew << int(ServerTrust::Refused)
        << QStringList { kOld, kNew, kServer } << 0;
    QTest::newRow("another server's line does not count")
        << QString() << QByteArray("192.0.2.8:4060 " + kOld.toLatin1() + "\n") << kNew
        << int(ServerTrust::FirstMeeting) << QStringList() << 0;
    QTest::newRow("another port is another server")
        << QString() << QByteArray("192.0.2.7:4061 " + kOld.toLatin1() + "\n") << kNew
        << int(ServerTrust::FirstMeeting) << QStringList() << 0;
    QTest::newRow("an explicit pin that matches wins over the file")
        << kNew << knowsOld << kNew << int(ServerTrust::Known) << QStringList() << 0;
    QTest::newRow("an explicit pin that does not match is refused, naming both")
        << kOld << QByteArray() << kNew << int(ServerTrust::Refused) << QStringList { kOld, kNew }
        << 0;
    QTest::newRow("a pin in capitals with colons is the same pin")
        << kNew.toUpper().replace(
               QRegularExpression(QStringLiteral("(..)(?!$)")), QStringLiteral("\\1:"))
        << QByteArray() << kNew << int(ServerTrust::Known) << QStringList() << 0;
    QTest::newRow("a pin that is no fingerprint refuses everything")
        << QStringLiteral("12ab") << QByteArray() << kNew << int(ServerTrust::Refused)
        << QStringList { QStringLiteral("12ab"), kNew } << 0;
    QTest::newRow("a damaged line is skipped and the next line still counts")
        << QString() << QByteArray("garbage without a fingerprint\n" + knowsOld) << kNew
        << int(ServerTrust::Refused) << QStringList { kOld, kNew, QStringLiteral("line 2") } << 1;
    QTest::newRow("a damaged line for this server does not make it known")
        << QString() << QByteArray(kServer.toUtf8() + " 1234\n") << kNew
        << int(ServerTrust::FirstMeeting) << QStringList() << 1;
    QTest::newRow("comments, blank lines and a missing last newline are fine")
        << QString() << QByteArray("# servers of the school\n\n" + knowsOld.trimmed()) << kOld
        << int(ServerTrust::Known) << QStringList() << 0;
}

void TestServerTrust::decisions()
{
    QFETCH(QString, pin);
    QFETCH(QByteArray, knownServers);
    QFETCH(QString, presented);
    QFETCH(int, decision);
    QFETCH(QStringList, messageNames);
    QFETCH(int, warnings);

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("known-servers"));
    if (!knownServers.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(knownServers);
    }
    for (int i = 0; i < warnings; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("is damaged")));

    const ServerTrust trust(path, pin);
    const ServerTrust::Verdict verdict = trust.check(kServer, presented);
    QCOMPARE(int(verdict.decision), decision);
    for (const QString& name : messageNames)
        QVERIFY2(verdict.message.contains(name), qPrintable(verdict.message));
    QCOMPARE(verdict.message.isEmpty(), decision != ServerTrust::Refused);
    // Checking never writes: a file is only written once a handshake proved the certificate.
    QCOMPARE(readAll(path), knownServers.isEmpty() ? QByteArray("<no file>") : knownServers);
}

void TestServerTrust::firstMeetingIsRememberedForNextTime()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("config/known-servers"));
    const ServerTrust trust(path);
    QCOMPARE(trust.check(kServer, kOld).decision, ServerTrust::FirstMeeting);
    QString error;
    QVERIFY2(trust.remember(kServer, kOld, &error), qPrintable(error));
    QCOMPARE(readAll(path), QByteArray(kServer.toUtf8() + ' ' + kOld.toLatin1() + '\n'));
    QCOMPARE(ServerTrust(path).check(kServer, kOld).decision, ServerTrust::Known);
    QCOMPARE(ServerTrust(path).check(kServer, kNew).decision, ServerTrust::Refused);

    // A hand-edited file without a last newline keeps its line whole.
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("192.0.2.9:4060 " + kNew.toLatin1());
    file.close();
    QVERIFY(trust.remember(kServer, kOld, &error));
    QCOMPARE(readAll(path),
        QByteArray("192.0.2.9:4060 " + kNew.toLatin1() + '\n' + kServer.toUtf8() + ' '
            + kOld.toLatin1() + '\n'));
    QCOMPARE(ServerTrust(path).check(QStringLiteral("192.0.2.9:4060"), kNew).decision,
        ServerTrust::Known);
}

void TestServerTrust::fingerprintTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("normalized");
    QTest::newRow("64 lowercase digits stay") << kNew << kNew;
    QTest::newRow("capitals are lowered") << kNew.toUpper() << kNew;
    QTest::newRow("surrounding blanks are trimmed")
        << QLatin1Char(' ') + kNew + QLatin1Char('\n') << kNew;
    QTest::newRow("63 digits are no fingerprint") << kNew.left(63) << QString();
    QTest::newRow("a letter beyond f is no fingerprint")
        << QString(kNew).replace(0, 1, QLatin1Char('g')) << QString();
    QTest::newRow("empty is no fingerprint") << QString() << QString();
}

void TestServerTrust::fingerprintTexts()
{
    QFETCH(QString, text);
    QFETCH(QString, normalized);
    QCOMPARE(ServerTrust::normalizedFingerprint(text), normalized);
}

QTEST_GUILESS_MAIN(TestServerTrust)
#include "tst_servertrust.moc"
