// The file-transfer rules on their own: the rate table and its steps, the
// chunk allowance, where chunks belong and which are kept, the size texts and
// the names offered files are saved under.

#include "dtransferrules.h"

#include <QtTest>

using namespace DTransferRules;

class TestDTransferRules : public QObject
{
    Q_OBJECT

private slots:
    void rowSums_data();
    void rowSums();
    void nextLevel_data();
    void nextLevel();
    void withoutVoiceTheRateClimbsToTheTopInThreeSeconds();
    void chunksPerTick_data();
    void chunksPerTick();
    void everyChunkButTheLastIsWhole_data();
    void everyChunkButTheLastIsWhole();
    void chunksFit_data();
    void chunksFit();
    void sizeTexts_data();
    void sizeTexts();
    void safeNames_data();
    void safeNames();
};

void TestDTransferRules::rowSums_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("perSecond");

    const int sums[] = { 256, 512, 1024, 2048, 4096, 8192, 16384, 32768, 65536, 131072, 262144,
        524288, 1048576 };
    for (int level = 0; level <= kTopLevel; ++level)
        QTest::addRow("level %d sends %d bytes a second", level, sums[level])
            << level << sums[level];
    QTest::newRow("a level below the table sends nothing") << -1 << 0;
    QTest::newRow("a level above the table sends nothing") << 13 << 0;
}

void TestDTransferRules::rowSums()
{
    QFETCH(int, level);
    QFETCH(int, perSecond);
    QCOMPARE(bytesPerSecond(level), perSecond);
}

void TestDTransferRules::nextLevel_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("previous");
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("next");

    QTest::newRow("no voice climbs by two") << 6 << 0 << 0 << 8;
    QTest::newRow("steady voice climbs by two") << 8 << 50 << 50 << 10;
    QTest::newRow("more voice climbs by two") << 8 << 48 << 50 << 10;
    QTest::newRow("eleven climbs to the top, not past it") << 11 << 0 << 0 << 12;
    QTest::newRow("the top stays the top") << 12 << 0 << 0 << 12;
    QTest::newRow("a drop in the count steps down one") << 12 << 50 << 49 << 11;
    QTest::newRow("voice stopping steps down one") << 7 << 50 << 0 << 6;
    QTest::newRow("the bottom stays the bottom") << 0 << 50 << 10 << 0;
}

void TestDTransferRules::nextLevel()
{
    QFETCH(int, level);
    QFETCH(int, previous);
    QFETCH(int, current);
    QFETCH(int, next);
    QCOMPARE(nextRateLevel(level, previous, current), next);
}

void TestDTransferRules::withoutVoiceTheRateClimbsToTheTopInThreeSeconds()
{
    // The sender's loop: allowance at (level, tick), then the level moves at
    // each whole second, then whole chunks go.
    int level = kStartLevel;
    int tick = 0;
    qint64 credit = 0;
    const qint64 fileSize = qint64(64) * 1024 * 1024;
    qint64 sent = 0;
    QList<qint64> perSecond;
    qint64 thisSecond = 0;
    for (int t = 0; t < 5 * kTicksPerSecond; ++t) {
        const int allowance = tableBytes(level, tick);
        tick = (tick + 1) % kTicksPerSecond;
        if (tick == 0)
            level = nextRateLevel(level, 0, 0);
        const int chunks = chunksForTick(credit, allowance, fileSize - sent);
        sent += qint64(chunks) * kChunkBytes;
        thisSecond += qint64(chunks) * kChunkBytes;
        if (tick == 0) {
            perSecond << thisSecond;
            thisSecond = 0;
        }
    }
    QCOMPARE(perSecond, (QList<qint64> { 16384, 65536, 262144, 1048576, 1048576 }));
}

void TestDTransferRules::chunksPerTick_data()
{
    QTest::addColumn<qint64>("creditBefore");
    QTest::addColumn<int>("allowance");
    QTest::addColumn<qint64>("remaining");
    QTest::addColumn<int>("chunks");
    QTest::addColumn<qint64>("creditAfter");

    QTest::newRow("a small allowance is saved up")
        << qint64(0) << 128 << qint64(100000) << 0 << qint64(128);
    QTest::newRow("saved allowance pays for a whole chunk")
        << qint64(4000) << 128 << qint64(100000) << 1 << qint64(32);
    QTest::newRow("one chunk's worth sends one chunk")
        << qint64(0) << 4096 << qint64(100000) << 1 << qint64(0);
    QTest::newRow("the top level sends thirty-two chunks")
        << qint64(0) << 131072 << qint64(1 << 20) << 32 << qint64(0);
    QTest::newRow("a short last chunk goes when the allowance covers it")
        << qint64(0) << 1024 << qint64(1000) << 1 << qint64(0);
    QTest::newRow("the end of the file leaves nothing owed")
        << qint64(0) << 131072 << qint64(5000) << 2 << qint64(0);
    QTest::newRow("a tick without allowance sends nothing")
        << qint64(0) << 0 << qint64(100000) << 0 << qint64(0);
}

void TestDTransferRules::chunksPerTick()
{
    QFETCH(qint64, creditBefore);
    QFETCH(int, allowance);
    QFETCH(qint64, remaining);
    QFETCH(int, chunks);
    QFETCH(qint64, creditAfter);

    qint64 credit = creditBefore;
    QCOMPARE(chunksForTick(credit, allowance, remaining), chunks);
    QCOMPARE(credit, creditAfter);
}

void TestDTransferRules::everyChunkButTheLastIsWhole_data()
{
    QTest::addColumn<int>("level");
    for (int level = 0; level <= kTopLevel; level += 3)
        QTest::addRow("at level %d", level) << level;
}

void TestDTransferRules::everyChunkButTheLastIsWhole()
{
    // Whatever the level, chunk n is the n-th 4096 bytes of the file, which
    // is where the receiver puts it.
    QFETCH(int, level);
    const qint64 fileSize = 3 * kChunkBytes + 123;
    qint64 credit = 0;
    qint64 sent = 0;
    quint32 number = 0;
    for (int t = 0; sent < fileSize && t < 100000; ++t) {
        const int chunks
            = chunksForTick(credit, tableBytes(level, t % kTicksPerSecond), fileSize - sent);
        for (int i = 0; i < chunks; ++i) {
            const qint64 length = qMin<qint64>(kChunkBytes, fileSize - sent);
            QCOMPARE(chunkOffset(number), sent);
            QVERIFY(chunkFits(number, length, fileSize));
            sent += length;
            ++number;
        }
    }
    QCOMPARE(sent, fileSize);
    QCOMPARE(number, 4u);
}

void TestDTransferRules::chunksFit_data()
{
    QTest::addColumn<quint32>("number");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<bool>("fits");

    QTest::newRow("the first chunk of a file") << 0u << qint64(4096) << qint64(10000) << true;
    QTest::newRow("a short last chunk ending at the size")
        << 2u << qint64(1808) << qint64(10000) << true;
    QTest::newRow("a last chunk running past the size")
        << 2u << qint64(1809) << qint64(10000) << false;
    QTest::newRow("a chunk wholly past the size") << 3u << qint64(1) << qint64(10000) << false;
    QTest::newRow("the empty chunk of an empty file") << 0u << qint64(0) << qint64(0) << true;
    QTest::newRow("a chunk longer than a chunk") << 0u << qint64(4097) << qint64(1 << 20) << false;
    QTest::newRow("the largest chunk number")
        << 0xFFFFFFFFu << qint64(1) << qint64(1 << 30) << false;
    QTest::newRow("a number whose offset wraps 32 bits")
        << 0x00100000u << qint64(16) << qint64(4096) << false;
    QTest::newRow("an unknown size bounds nothing but the length")
        << 0xFFFFFFFFu << qint64(4096) << std::numeric_limits<qint64>::max() << true;
}

void TestDTransferRules::chunksFit()
{
    QFETCH(quint32, number);
    QFETCH(qint64, length);
    QFETCH(qint64, limit);
    QFETCH(bool, fits);
    QCOMPARE(chunkFits(number, length, limit), fits);
}

void TestDTransferRules::sizeTexts_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<bool>("exact");
    QTest::addColumn<QString>("text");

    QTest::newRow("nothing") << qint64(0) << true << QStringLiteral("0.00 Bytes");
    QTest::newRow("a cancelled size") << qint64(-1) << true << QStringLiteral("-1.00 Bytes");
    QTest::newRow("just under a thousand") << qint64(999) << true << QStringLiteral("999.00 Bytes");
    QTest::newRow("a thousand bytes, exact")
        << qint64(1000) << true << QStringLiteral("0.98 KiB (1000 Bytes)");
    QTest::newRow("a thousand bytes, short") << qint64(1000) << false << QStringLiteral("0.98 KiB");
    QTest::newRow("one KiB") << qint64(1024) << false << QStringLiteral("1.00 KiB");
    QTest::newRow("just under a million")
        << qint64(999999) << false << QStringLiteral("976.56 KiB");
    QTest::newRow("a million bytes, exact")
        << qint64(1000000) << true << QStringLiteral("0.95 MiB (1000000 Bytes)");
    QTest::newRow("three MiB") << qint64(3 << 20) << false << QStringLiteral("3.00 MiB");
    QTest::newRow("a billion bytes")
        << qint64(1000000000) << true << QStringLiteral("0.93 GiB (1000000000 Bytes)");
    QTest::newRow("five GiB") << (qint64(5) << 30) << false << QStringLiteral("5.00 GiB");
}

void TestDTransferRules::sizeTexts()
{
    QFETCH(qint64, bytes);
    QFETCH(bool, exact);
    QFETCH(QString, text);
    QCOMPARE(sizeText(bytes, exact), text);
}

void TestDTransferRules::safeNames_data()
{
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("saved");

    QTest::newRow("a plain name stays")
        << QStringLiteral("notes.pdf") << QStringLiteral("notes.pdf");
    QTest::newRow("blanks inside stay")
        << QStringLiteral("week 3 notes.txt") << QStringLiteral("week 3 notes.txt");
    QTest::newRow("directories are dropped")
        << QStringLiteral("/home/ann/notes.pdf") << QStringLiteral("notes.pdf");
    QTest::newRow("climbing out is dropped")
        << QStringLiteral("../../.bashrc") << QStringLiteral(".bashrc");
    QTest::newRow("backslash directories are dropped")
        << QStringLiteral("C:\\Users\\ann\\notes.pdf") << QStringLiteral("notes.pdf");
    QTest::newRow("a bare climb becomes a neutral name")
        << QStringLiteral("..") << QStringLiteral("received-file");
    QTest::newRow("a trailing separator becomes a neutral name")
        << QStringLiteral("docs/") << QStringLiteral("received-file");
    QTest::newRow("control characters are removed")
        << QStringLiteral("a\nb\tc\x01.txt") << QStringLiteral("abc.txt");
    QTest::newRow("a direction override is removed")
        << (QStringLiteral("invoice") + QChar(0x202E) + QStringLiteral("fdp.exe"))
        << QStringLiteral("invoicefdp.exe");
    QTest::newRow("nothing becomes a neutral name") << QString() << QStringLiteral("received-file");
    QTest::newRow("letters beyond ASCII stay")
        << QStringLiteral("Übung ü.txt") << QStringLiteral("Übung ü.txt");
}

void TestDTransferRules::safeNames()
{
    QFETCH(QString, offered);
    QFETCH(QString, saved);
    QCOMPARE(safeFileName(offered), saved);
}

QTEST_GUILESS_MAIN(TestDTransferRules)
#include "tst_dtransferrules.moc"
