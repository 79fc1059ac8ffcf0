#include "servercertificate.h"

#include <sys/stat.h>

#include <QtTest>

namespace {

mode_t modeOf(const QString& path)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

bool writeText(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

} // namespace

// The server's identity on disk: made once, then the same certificate on every start, and
// never silently replaced when its files are wrong.
class TestServerCertificate : public QObject
{
    Q_OBJECT

private slots:
    void firstStartMakesTheIdentityAndLaterStartsKeepIt();
    void damagedStateIsRefused_data();
    void damagedStateIsRefused();
};

void TestServerCertificate::firstStartMakesTheIdentityAndLaterStartsKeepIt()
{
    QTemporaryDir root;
    const QString folder = root.filePath(QStringLiteral("state/server"));

    ServerCertificate first;
    QString error;
    QVERIFY2(first.loadOrCreate(folder, &error), qPrintable(error));
    QVERIFY(!first.isNull());
    QVERIFY(
        QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(first.fingerprint()).hasMatch());
    QCOMPARE(modeOf(ServerCertificate::keyPath(folder)), mode_t(0600));
    QCOMPARE(modeOf(folder), mode_t(0700));
    QCOMPARE(first.privateKey().algorithm(), QSsl::Ec);
    QCOMPARE(first.privateKey().length(), 256);
    QVERIFY(first.certificate().isSelfSigned());
    QCOMPARE(first.fingerprint(),
        QString::fromLatin1(
            QCryptographicHash::hash(first.certificate().toDer(), QCryptographicHash::Sha256)
                .toHex()));

    ServerCertificate second;
    QVERIFY2(second.loadOrCreate(folder, &error), qPrintable(error));
    QCOMPARE(second.fingerprint(), first.fingerprint());
    QCOMPARE(second.privateKey().toPem(), first.privateKey().toPem());
    QCOMPARE(modeOf(ServerCertificate::keyPath(folder)), mode_t(0600));

    // Another folder is another server.
    ServerCertificate other;
    QVERIFY(other.loadOrCreate(root.filePath(QStringLiteral("other")), &error));
    QVERIFY(other.fingerprint() != first.fingerprint());
}

void TestServerCertificate::damagedStateIsRefused_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("loads");
    QTest::addColumn<QString>("errorNames");
    QTest::newRow("a key the group may read is refused") << "chmod key 0640" << false << "0640";
    QTest::newRow("a key anyone may read is refused") << "chmod key 0604" << false << "0604";
    QTest::newRow("a certificate without its key is refused") << "remove key" << false << "key";
    QTest::newRow("a damaged certificate is refused") << "garble certificate" << false << "damaged";
    QTest::newRow("a damaged key is refused") << "garble key" << false << "damaged";
    QTest::newRow("the key of another server is refused") << "swap key" << false << "belong";
    QTest::newRow("a key left by an interrupted first start is replaced")
        << "remove certificate" << true << "";
}

void TestServerCertificate::damagedStateIsRefused()
{
    QFETCH(QString, damage);
    QFETCH(bool, loads);
    QFETCH(QString, errorNames);
    QTemporaryDir root;
    const QString folder = root.filePath(QStringLiteral("server"));
    const QString otherFolder = root.filePath(QStringLiteral("other"));
    ServerCertificate original;
    ServerCertificate other;
    QVERIFY(original.loadOrCreate(folder));
    QVERIFY(other.loadOrCreate(otherFolder));
    const QString keyFile = ServerCertificate::keyPath(folder);
    const QString certificateFile = ServerCertificate::certificatePath(folder);

    if (damage == QLatin1String("chmod key 0640"))
        QCOMPARE(::chmod(QFile::encodeName(keyFile).constData(), 0640), 0);
    else if (damage == QLatin1String("chmod key 0604"))
        QCOMPARE(::chmod(QFile::encodeName(keyFile).constData(), 0604), 0);
    else if (damage == QLatin1String("remove key"))
        QVERIFY(QFile::remove(keyFile));
    else if (damage == QLatin1String("garble certificate"))
        QVERIFY(writeText(certificateFile, "-----BEGIN CERTIFICATE-----\nAAAA\n"));
    else if (damage == QLatin1String("garble key"))
        QVERIFY(writeText(keyFile, "not a key"));
    else if (damage == QLatin1String("swap key"))
        QVERIFY(QFile::remove(keyFile)
            && QFile::copy(ServerCertificate::keyPath(otherFolder), keyFile));
    else if (damage == QLatin1String("remove certificate"))
        QVERIFY(QFile::remove(certificateFile));

    ServerCertificate loaded;
    QString error;
    QCOMPARE(loaded.loadOrCreate(folder, &error), loads);
    QCOMPARE(loaded.isNull(), !loads);
    if (loads) {
        QVERIFY(loaded.fingerprint() != original.fingerprint());
        QCOMPARE(modeOf(keyFile), mode_t(0600));
    } else {
        QVERIFY2(error.contains(errorNames), qPrintable(error));
        // Nothing was replaced: the files are as the damage left them.
        QCOMPARE(QFileInfo::exists(keyFile), damage != QLatin1String("remove key"));
    }
}

QTEST_GUILESS_MAIN(TestServerCertificate)
#include "tst_servercertificate.moc"
