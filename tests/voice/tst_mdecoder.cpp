#include "logcapture.h"
#include "mabstractsocket.h"
#include "mdecoder.h"
#include "mm.h"
#include "mstatistics.h"

#include <memory>

#include <QtTest>

namespace {

QByteArray voicePacket(int seq, int payloadBytes)
{
    return MAbstractSocket::intToByteArray(quint32(seq)) + QByteArray(payloadBytes, char(seq));
}

// A decoder that only records what the base asks of it.
class RecordingDecoder : public MDecoder
{
public:
    RecordingDecoder(bool perPacket, const QAudioFormat& format) : MDecoder(nullptr, format)
    {
        skipCallPerMissingPacket = perPacket;
    }

    QList<int> played;
    QList<int> skipArguments;
    QList<int> skipsBeforePacket; // skip calls seen when each packet was played

    using MDecoder::getEmptyWaveForSeqSkip;

protected:
    void processVoicePacket(const QByteArray& packet) override
    {
        played << int(MAbstractSocket::byteArrayToInt(packet));
        skipsBeforePacket << skipArguments.size();
    }
    void processSeqSkip(int size) override { skipArguments << size; }
};

} // namespace

class TestMDecoder : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_log = std::make_unique<LogCapture>(); }
    void cleanup() { m_log.reset(); }

    void sequenceTracking_data();
    void sequenceTracking();
    void senderRestartingAfter400IsDroppedUntilItPassesIt();
    void diagnosticLineOfASkip();
    void shortPacketIsDroppedWithADiagnostic();
    void silenceBlock_data();
    void silenceBlock();

private:
    std::unique_ptr<LogCapture> m_log;
};

void TestMDecoder::sequenceTracking_data()
{
    QTest::addColumn<QList<int>>("arriving");
    QTest::addColumn<bool>("perPacket");
    QTest::addColumn<QList<int>>("played");
    QTest::addColumn<int>("skipCalls");
    QTest::addColumn<int>("lastSeq");
    QTest::addColumn<QStringList>("events");

    const QString skip
        = QStringLiteral("========================= SEQ SKIP DETECTED! =========================");
    const QString repeat
        = QStringLiteral("======================== SEQ REPEAT DETECTED! ========================");
    const QString rewind
        = QStringLiteral("======================== SEQ REWIND DETECTED! ========================");

    QTest::newRow("packets in order are all played without a log line")
        << QList<int> { 1, 2, 3 } << true << QList<int> { 1, 2, 3 } << 0 << 3 << QStringList();
    QTest::newRow("a first packet numbered 57 is played and fixes the numbering")
        << QList<int> { 57, 58 } << true << QList<int> { 57, 58 } << 0 << 58 << QStringList();
    QTest::newRow("a gap of two asks once per missing packet") << QList<int> { 1, 2,
        5 } << true << QList<int> { 1, 2, 5 } << 2 << 5 << QStringList { skip };
    QTest::newRow("a gap of two asks once per gap when so configured") << QList<int> { 1, 2,
        5 } << false << QList<int> { 1, 2, 5 } << 1 << 5 << QStringList { skip };
    QTest::newRow("a repeated packet is dropped")
        << QList<int> { 1, 2, 2 } << true << QList<int> { 1, 2 } << 0 << 2
        << QStringList { repeat };
    // A corrupt or hostile number must not keep the thread concealing for hours.
    QTest::newRow("a gap of a million packets is filled for one minute of frames only")
        << QList<int> { 1, 1000002 } << true << QList<int> { 1, 1000002 } << 3000 << 1000002
        << QStringList { skip };
    QTest::newRow("a late packet after a skip is dropped as a rewind") << QList<int> { 1, 5,
        3 } << true << QList<int> { 1, 5 } << 3 << 5 << QStringList { skip, rewind };
}

void TestMDecoder::sequenceTracking()
{
    QFETCH(QList<int>, arriving);
    QFETCH(bool, perPacket);
    QFETCH(QStringList, events);

    RecordingDecoder decoder(perPacket, MM::defaultAudioFormat());
    int size = 10;
    for (const int seq : arriving)
        decoder.voicePacketReceived(voicePacket(seq, size++));

    QTEST(decoder.played, "played");
    QTEST(decoder.skipArguments.size(), "skipCalls");
    QTEST(decoder.lastSequence(), "lastSeq");
    QCOMPARE(m_log->linesContaining(QStringLiteral("DETECTED!")), events);
    // Every skip call carries the payload size of the last packet played
    // before the gap (payload sizes are 10, 11, ... in arrival order), and
    // they all come before the packet after the gap.
    if (!decoder.skipArguments.isEmpty()) {
        const int after = int(std::find_if(decoder.skipsBeforePacket.cbegin(),
                                  decoder.skipsBeforePacket.cend(), [](int n) { return n > 0; })
            - decoder.skipsBeforePacket.cbegin());
        QVERIFY(after > 0 && after < decoder.played.size());
        QCOMPARE(decoder.skipsBeforePacket.at(after), decoder.skipArguments.size());
        for (const int argument : qAsConst(decoder.skipArguments))
            QCOMPARE(argument, 10 + after - 1);
    }
    QCOMPARE(decoder.statisticsObject()->packetCount, arriving.size());
    int bytes = 0;
    for (int i = 0; i < arriving.size(); ++i)
        bytes += 4 + 10 + i + 4;
    QCOMPARE(decoder.statisticsObject()->byteCount, bytes);
}

void TestMDecoder::senderRestartingAfter400IsDroppedUntilItPassesIt()
{
    RecordingDecoder decoder(true, MM::defaultAudioFormat());
    for (int seq = 1; seq <= 400; ++seq)
        decoder.voicePacketReceived(voicePacket(seq, 20));
    m_log->clear();
    for (int seq = 1; seq <= 401; ++seq)
        decoder.voicePacketReceived(voicePacket(seq, 20));

    QCOMPARE(decoder.played.size(), 401);
    QCOMPARE(decoder.played.last(), 401);
    QCOMPARE(decoder.lastSequence(), 401);
    QCOMPARE(m_log->lines().count(QStringLiteral(
                 "======================== SEQ REWIND DETECTED! ========================")),
        399);
    QCOMPARE(m_log->lines().count(QStringLiteral(
                 "======================== SEQ REPEAT DETECTED! ========================")),
        1);
    QVERIFY(decoder.skipArguments.isEmpty());
}

void TestMDecoder::diagnosticLineOfASkip()
{
    RecordingDecoder decoder(true, MM::defaultAudioFormat());
    decoder.voicePacketReceived(voicePacket(1, 30));
    decoder.voicePacketReceived(voicePacket(2, 30));
    decoder.voicePacketReceived(voicePacket(5, 37));
    const QStringList lines = m_log->lines();
    const int banner = lines.indexOf(
        QStringLiteral("========================= SEQ SKIP DETECTED! ========================="));
    QVERIFY(banner >= 0);
    QVERIFY(banner + 1 < lines.size());
    // clock, lastSeq before, seq, missing, payload size
    const QRegularExpression line(QStringLiteral("^\\d+ 2 5 2 37$"));
    QVERIFY2(line.match(lines.at(banner + 1)).hasMatch(), qPrintable(lines.at(banner + 1)));
}

void TestMDecoder::shortPacketIsDroppedWithADiagnostic()
{
    RecordingDecoder decoder(true, MM::defaultAudioFormat());
    decoder.voicePacketReceived(QByteArray("\x00\x00\x01", 3));
    decoder.voicePacketReceived(QByteArray());
    QVERIFY(decoder.played.isEmpty());
    QCOMPARE(decoder.statisticsObject()->packetCount, 0);
    QCOMPARE(m_log->count(QStringLiteral("shorter than its sequence number")), 2);
    // A packet of exactly the sequence number is an empty payload, still played.
    decoder.voicePacketReceived(voicePacket(1, 0));
    QCOMPARE(decoder.played, QList<int> { 1 });
}

void TestMDecoder::silenceBlock_data()
{
    QTest::addColumn<int>("sampleSize");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("16-bit silence is zero bytes") << 16 << 960 << QByteArray(960, '\0');
    QTest::newRow("8-bit silence is the unsigned midpoint") << 8 << 960 << QByteArray(960, '\x80');
    QTest::newRow("an odd count of 16-bit bytes is rounded down to whole samples")
        << 16 << 961 << QByteArray(960, '\0');
    QTest::newRow("24-bit samples give no block") << 24 << 960 << QByteArray();
    QTest::newRow("a sample size below one byte gives no block and no crash")
        << 4 << 960 << QByteArray();
}

void TestMDecoder::silenceBlock()
{
    QFETCH(int, sampleSize);
    QFETCH(int, bytes);
    QFETCH(QByteArray, expected);
    QAudioFormat format = MM::defaultAudioFormat();
    format.setSampleSize(sampleSize);
    RecordingDecoder decoder(true, format);
    QVERIFY(decoder.getEmptyWaveForSeqSkip(-1).isEmpty());
    QCOMPARE(decoder.getEmptyWaveForSeqSkip(bytes), expected);
    // -1 and 0 reuse the block built last.
    QCOMPARE(decoder.getEmptyWaveForSeqSkip(-1), expected);
    QCOMPARE(decoder.getEmptyWaveForSeqSkip(0), expected);
}

QTEST_GUILESS_MAIN(TestMDecoder)
#include "tst_mdecoder.moc"
