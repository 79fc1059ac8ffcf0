// The receiving side's book of file transfers, without widgets: each row is
// a sequence of what arrives and what the user answers, on a clock the test
// moves, and what the book then holds, wrote and finished.

#include "logcapture.h"
#include "mabstractsocket.h"
#include "transferbook.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr qint64 kStallMs = 1000;

// A chunk's bytes: all the same letter, chosen by its number.
QByteArray chunkBytes(quint32 number, int length)
{
    return QByteArray(length, char('a' + number % 26));
}

} // namespace

class TestTransferBook : public QObject
{
    Q_OBJECT

private slots:
    void sequences_data();
    void sequences();
};

void TestTransferBook::sequences_data()
{
    // Steps, separated by ";": "offer ID NAME SIZE", "offerraw TEXT",
    // "yes ID FILE", "no ID", "chunk ID NUMBER LENGTH", "short", "cancel ID",
    // "local ID", "wait MS", "stall". Results, one letter a step: offers
    // M(alformed) I(gnored) T(oo large) A(sk); chunks D(ropped) C(ounted)
    // K(ept); cancels t(old) s(ilent); anything else ".".
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("results");
    QTest::addColumn<int>("id"); // the transfer looked at afterwards
    QTest::addColumn<qint64>("received"); // -1: no record
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("completed"); // outcomes in the completed list
    QTest::addColumn<QString>("finished"); // outcomes that left the running list
    QTest::addColumn<QByteArray>("file"); // out.bin's content; null: no file
    QTest::addColumn<QString>("diagnostic");

    const QByteArray whole = chunkBytes(0, 4096) + chunkBytes(1, 904);
    const QByteArray none;

    QTest::newRow("an offer, the answer, then every chunk: the file is written")
        << "offer 7 a.bin 5000; yes 7 out.bin; chunk 7 0 4096; chunk 7 1 904"
        << "A.KK" << 7 << qint64(-1) << false << "Completed"
        << "Completed" << whole << QString();
    QTest::newRow("chunks before the offer are kept, the answer writes them")
        << "chunk 7 1 904; chunk 7 0 4096; offer 7 a.bin 5000; yes 7 out.bin"
        << "KKA." << 7 << qint64(-1) << false << "Completed"
        << "Completed" << whole << QString();
    QTest::newRow("all bytes in while the user decides: nothing is written yet")
        << "offer 7 a.bin 5000; chunk 7 0 4096; chunk 7 1 904"
        << "AKK" << 7 << qint64(5000) << true << ""
        << "" << none << QString();
    QTest::newRow("a zero-byte file is written on the answer")
        << "offer 7 e.txt 0; yes 7 out.bin"
        << "A." << 7 << qint64(-1) << false << "Completed"
        << "Completed" << QByteArray("") << QString();
    QTest::newRow("refusing counts the chunks and forgets the transfer when all are by")
        << "offer 7 a.bin 5000; no 7; chunk 7 0 4096; chunk 7 1 904"
        << "A.CC" << 7 << qint64(-1) << false << ""
        << "" << none << QString();
    QTest::newRow("refused, the chunks so far are counted")
        << "offer 7 a.bin 5000; no 7; chunk 7 0 4096"
        << "A.C" << 7 << qint64(4096) << false << ""
        << "" << none << QString();
    QTest::newRow("the sender's cancel of an accepted file is told and writes nothing")
        << "offer 7 a.bin 5000; yes 7 out.bin; chunk 7 0 4096; cancel 7"
        << "A.Kt" << 7 << qint64(-1) << false << "Cancelled"
        << "Cancelled" << none << QString();
    QTest::newRow("the sender's cancel before its offer is silent")
        << "chunk 7 0 4096; cancel 7"
        << "Ks" << 7 << qint64(-1) << false << ""
        << "Cancelled" << none << QString();
    QTest::newRow("the sender's cancel of an unknown transfer changes nothing")
        << "cancel 7"
        << "s" << 7 << qint64(-1) << false << ""
        << "" << none << QString();
    QTest::newRow("a local cancel counts the rest and writes nothing")
        << "offer 7 a.bin 5000; yes 7 out.bin; chunk 7 0 4096; local 7; chunk 7 1 904"
        << "A.K.C" << 7 << qint64(-1) << false << ""
        << "" << none << QString();
    QTest::newRow("an offer above the limit is refused at once")
        << "offer 7 big.bin 1073741825"
        << "T" << 7 << qint64(0) << false << ""
        << "" << none << QString();
    QTest::newRow("a second offer for the same transfer is ignored")
        << "offer 7 a.bin 5000; offer 7 b.bin 10"
        << "AI" << 7 << qint64(0) << true << ""
        << "" << none << QStringLiteral("ignored: already refused or offered");
    QTest::newRow("an offer after refusing is ignored")
        << "offer 7 a.bin 5000; no 7; offer 7 a.bin 5000"
        << "A.I" << 7 << qint64(0) << false << ""
        << "" << none << QStringLiteral("ignored: already refused or offered");
    QTest::newRow("an offer without its four fields")
        << "offerraw 7|a.bin|10"
        << "M" << 7 << qint64(-1) << false << ""
        << "" << none << QStringLiteral("File offer without its four fields ignored");
    QTest::newRow("an offer with letters as its size")
        << "offerraw 7|a.bin|ten|Eve"
        << "M" << 7 << qint64(-1) << false << ""
        << "" << none << QStringLiteral("File offer with a bad identity or size ignored");
    QTest::newRow("a chunk shorter than its header")
        << "short"
        << "D" << 7 << qint64(-1) << false << ""
        << "" << none << QStringLiteral("bytes dropped: no header");

    const QString beyond = QStringLiteral("dropped: it lies beyond");
    const QString offered = QStringLiteral("offer 77 data.bin 10000; ");
    QTest::newRow("a chunk wholly past the announced size") << offered + "chunk 77 3 100"
                                                            << "AD" << 77 << qint64(0) << true << ""
                                                            << "" << none << beyond;
    QTest::newRow("a last chunk running over the announced size")
        << offered + "chunk 77 2 1809"
        << "AD" << 77 << qint64(0) << true << ""
        << "" << none << beyond;
    QTest::newRow("a chunk longer than 4096 bytes") << offered + "chunk 77 0 5000"
                                                    << "AD" << 77 << qint64(0) << true << ""
                                                    << "" << none << beyond;
    QTest::newRow("the largest chunk number") << offered + "chunk 77 4294967295 10"
                                              << "AD" << 77 << qint64(0) << true << ""
                                              << "" << none << beyond;
    QTest::newRow("a chunk sent twice counts once")
        << offered + "chunk 77 1 4096; chunk 77 1 4096"
        << "AKD" << 77 << qint64(4096) << true << ""
        << "" << none << QStringLiteral("dropped: seen before");
    QTest::newRow("a chunk far past the bound before any offer")
        << "chunk 77 5000 4096"
        << "D" << 77 << qint64(-1) << false << ""
        << "" << none << beyond;
    QTest::newRow("a chunk within the bound before any offer is kept")
        << "chunk 77 3 10"
        << "K" << 77 << qint64(10) << true << ""
        << "" << none << QString();
    QTest::newRow("chunks kept before the offer beyond its size go at the offer")
        << "chunk 77 3 10; offer 77 data.bin 5000"
        << "KA" << 77 << qint64(0) << true << ""
        << "" << none << QStringLiteral("dropped: beyond the announced size");

    QTest::newRow("chunks that stop for longer than the stall time end the transfer")
        << "offer 7 a.bin 5000; yes 7 out.bin; chunk 7 0 4096; wait 1001; stall"
        << "A.K.." << 7 << qint64(-1) << false << "Stalled"
        << "Stalled" << none << QString();
    QTest::newRow("a transfer within the stall time goes on")
        << "offer 7 a.bin 5000; yes 7 out.bin; chunk 7 0 4096; wait 1000; stall"
        << "A.K.." << 7 << qint64(4096) << true << ""
        << "" << none << QString();
    QTest::newRow("every byte in while the user decides never stalls")
        << "offer 7 a.bin 10; chunk 7 0 10; wait 5000; stall"
        << "AK.." << 7 << qint64(10) << true << ""
        << "" << none << QString();
    QTest::newRow("a transfer that never got its offer stalls without a completed entry")
        << "chunk 7 0 10; wait 2000; stall"
        << "K.." << 7 << qint64(-1) << false << ""
        << "Stalled" << none << QStringLiteral("stalled: no chunk for 1000 ms");
    QTest::newRow("a file that cannot be written ends as not saved")
        << "offer 7 a.bin 10; yes 7 no/such/folder/out.bin; chunk 7 0 10"
        << "A.K" << 7 << qint64(-1) << false << "Not saved"
        << "Not saved" << none << QStringLiteral("failed:");
}

void TestTransferBook::sequences()
{
    QFETCH(QString, steps);
    QFETCH(int, id);
    QFETCH(QByteArray, file);
    QFETCH(QString, diagnostic);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    LogCapture log;
    TransferBook book;
    qint64 now = 0;
    QString results;
    QStringList finished;
    for (const QString& step : steps.split(QLatin1Char(';'))) {
        const QStringList words = step.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const QString verb = words.value(0);
        const auto number = [&words](int i) { return words.value(i).toLongLong(); };
        if (verb == QLatin1String("offer") || verb == QLatin1String("offerraw")) {
            const QString text = verb == QLatin1String("offerraw")
                ? words.value(1)
                : words.value(1) + QLatin1Char('|') + words.value(2) + QLatin1Char('|')
                    + words.value(3) + QStringLiteral("|Eve");
            static const char kOfferLetters[] = { 'M', 'I', 'T', 'A' };
            results
                += QLatin1Char(kOfferLetters[int(book.offerReceived(text.toUtf8(), now).result)]);
        } else if (verb == QLatin1String("chunk") || verb == QLatin1String("short")) {
            const QByteArray payload = verb == QLatin1String("short")
                ? QByteArray(7, 'x')
                : MAbstractSocket::intToByteArray(quint32(number(1)))
                    + MAbstractSocket::intToByteArray(quint32(number(2)))
                    + chunkBytes(quint32(number(2)), int(number(3)));
            static const char kChunkLetters[] = { 'D', 'C', 'K' };
            results += QLatin1Char(kChunkLetters[int(book.chunkReceived(payload, now).result)]);
        } else if (verb == QLatin1String("cancel")) {
            results += QLatin1Char(book.cancelReceived(int(number(1))) ? 't' : 's');
        } else {
            if (verb == QLatin1String("yes"))
                book.decided(int(number(1)), dir.filePath(words.value(2)));
            else if (verb == QLatin1String("no"))
                book.decided(int(number(1)), QString());
            else if (verb == QLatin1String("local"))
                book.cancelLocally(int(number(1)));
            else if (verb == QLatin1String("wait"))
                now += number(1);
            else if (verb == QLatin1String("stall"))
                book.endStalled(now, kStallMs);
            else
                QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
            results += QLatin1Char('.');
        }
        for (const TransferBook::Finished& done : book.takeFinished()) {
            QCOMPARE(done.id, id);
            finished << TransferBook::outcomeText(done.outcome);
        }
    }

    QTEST(results, "results");
    const FileTransferRecord* record = book.record(id);
    QTEST(record ? record->received : qint64(-1), "received");
    if (record) {
        QTEST(record->accepted, "accepted");
        QVERIFY(record->data.size() <= qMax(record->size, TransferBook::kPreOfferBound));
    }
    QCOMPARE(book.isEmpty(), !record);
    QStringList completed;
    for (const CompletedTransfer& done : book.completed())
        completed << TransferBook::outcomeText(done.outcome);
    QTEST(completed.join(QLatin1Char(',')), "completed");
    QTEST(finished.join(QLatin1Char(',')), "finished");

    QFile out(dir.filePath(QStringLiteral("out.bin")));
    QCOMPARE(out.exists(), !file.isNull());
    if (!file.isNull()) {
        QVERIFY(out.open(QIODevice::ReadOnly));
        QCOMPARE(out.readAll(), file);
    }
    // Only the file itself, never a temporary one left behind.
    QVERIFY(QDir(dir.path()).entryList(QDir::Files).size() <= 1);
    if (!diagnostic.isEmpty())
        QVERIFY2(log.contains(diagnostic), qPrintable(log.lines().join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(TestTransferBook)
#include "tst_transferbook.moc"
