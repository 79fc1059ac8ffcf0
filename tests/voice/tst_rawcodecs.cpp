// The pass-through, zlib and byte-transform codecs over a real loopback UDP
// socket: byte layouts of each encoder, round trips through the decoders,
// and compressed payloads that must not be trusted.

#include "mbyteexchangerencoder.h"
#include "mbyteshifterencoder.h"
#include "mm.h"
#include "mnoneencoder.h"
#include "mrawdecoder.h"
#include "mstatistics.h"
#include "mudpsocket.h"
#include "mzlibdecoder.h"
#include "mzlibencoder.h"
#include "pcmpipe.h"
#include "voicelink.h"

#include "logcapture.h"

#include <QBuffer>
#include <QtEndian>
#include <QtTest>

#include <memory>

using VoiceTestData::VoiceLink;

namespace {

enum Encoder { None, Shifter, Exchanger, ZLib };

MEncoder* makeEncoder(int kind, QIODevice* input, MUdpSocket* socket)
{
    const QAudioFormat format = MM::defaultAudioFormat();
    switch (kind) {
    case Shifter:
        return new MByteShifterEncoder(input, format, socket);
    case Exchanger:
        return new MByteExchangerEncoder(input, format, socket);
    case ZLib:
        return new MZLibEncoder(input, format, socket, 9);
    default:
        return new MNoneEncoder(input, format, socket);
    }
}

QByteArray noise(int bytes, quint32 seed)
{
    QByteArray data(bytes, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char& byte : data)
        byte = char(random.bounded(256));
    return data;
}

} // namespace

class TestRawCodecs : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_log.reset();
        m_log = std::make_unique<LogCapture>();
    }
    void cleanup() { m_log.reset(); }

    void payloadLayouts_data();
    void payloadLayouts();
    void roundTrip_data();
    void roundTrip();
    void lostPacketsLeaveNoTrace();
    void hostileCompressedPayloads_data();
    void hostileCompressedPayloads();

private:
    std::unique_ptr<LogCapture> m_log;
};

void TestRawCodecs::payloadLayouts_data()
{
    QTest::addColumn<int>("encoder");
    QTest::addColumn<QList<QByteArray>>("blocks");
    QTest::addColumn<QList<QByteArray>>("payloads");
    const auto hex = [](const char* text) { return QByteArray::fromHex(text); };

    QTest::newRow("pass-through sends each block as it is, an empty read too")
        << int(None) << QList<QByteArray> { hex("010203"), QByteArray() }
        << QList<QByteArray> { hex("010203"), QByteArray() };
    QTest::newRow("the exchanger rotates each block left by two bytes")
        << int(Exchanger) << QList<QByteArray> { hex("010203040506"), hex("0708090a") }
        << QList<QByteArray> { hex("030405060102"), hex("090a0708") };
    QTest::newRow("the exchanger leaves blocks shorter than two bytes alone")
        << int(Exchanger) << QList<QByteArray> { hex("01"), QByteArray(), hex("0102") }
        << QList<QByteArray> { hex("01"), QByteArray(), hex("0102") };
    QTest::newRow("the shifter drops the first two bytes of the first block only")
        << int(Shifter) << QList<QByteArray> { hex("01020304"), hex("0506"), hex("0708") }
        << QList<QByteArray> { hex("0304"), hex("0506"), hex("0708") };
    QTest::newRow("the shifter's first block may vanish whole")
        << int(Shifter) << QList<QByteArray> { hex("0102"), hex("0304") }
        << QList<QByteArray> { QByteArray(), hex("0304") };
    QTest::newRow("zlib starts each payload with the plain size, big-endian")
        << int(ZLib) << QList<QByteArray> { QByteArray(1000, 'a'), QByteArray() }
        << QList<QByteArray> { qCompress(QByteArray(1000, 'a'), 9), hex("00000000") };
}

void TestRawCodecs::payloadLayouts()
{
    QFETCH(int, encoder);
    QFETCH(QList<QByteArray>, blocks);
    QFETCH(QList<QByteArray>, payloads);
    VoiceLink link;
    PcmPipe pipe;
    std::unique_ptr<MEncoder> coder(makeEncoder(encoder, &pipe, &link.sender));
    for (const QByteArray& block : blocks)
        pipe.push(block);
    QTRY_COMPARE(link.received.size(), payloads.size());
    for (int i = 0; i < payloads.size(); ++i) {
        QCOMPARE(int(MAbstractSocket::byteArrayToInt(link.received.at(i))), i + 1);
        QCOMPARE(link.received.at(i).mid(4), payloads.at(i));
    }
    if (encoder == ZLib) {
        QCOMPARE(qFromBigEndian<quint32>(link.received.at(0).constData() + 4), 1000u);
        QVERIFY(
            m_log->contains(QStringLiteral("MZLibEncoder::sendAvailableVoice(), Compression: ")));
    }
}

void TestRawCodecs::roundTrip_data()
{
    QTest::addColumn<bool>("compressed");
    QTest::addColumn<int>("piece");
    QTest::newRow("raw, 20 ms blocks") << false << 3840;
    QTest::newRow("raw, odd-sized blocks") << false << 1001;
    QTest::newRow("zlib at level 9, 20 ms blocks") << true << 3840;
    QTest::newRow("zlib at level 9, odd-sized blocks") << true << 777;
}

void TestRawCodecs::roundTrip()
{
    QFETCH(bool, compressed);
    QFETCH(int, piece);
    VoiceLink link;
    PcmPipe pipe;
    std::unique_ptr<MEncoder> coder(makeEncoder(compressed ? ZLib : None, &pipe, &link.sender));
    QBuffer output;
    output.open(QIODevice::ReadWrite);
    std::unique_ptr<MDecoder> decoder;
    if (compressed)
        decoder.reset(new MZLibDecoder(&output, MM::defaultAudioFormat()));
    else
        decoder.reset(new MRawDecoder(&output, MM::defaultAudioFormat()));
    connect(&link.receiver, &MUdpSocket::packetReceived, this,
        [&](MAbstractSocket*, MDataType type, const QByteArray& data) {
            if (type == VoiceData)
                decoder->voicePacketReceived(data);
        });
    // Half noise, half a repeating pattern that compresses.
    QByteArray pcm = noise(20 * 3840, 1);
    for (int i = 0; i < 20 * 3840; ++i)
        pcm += char(i % 64);
    // One block in flight at a time: a burst could overrun the socket's
    // receive buffer, and loss is not what is tested here.
    int blocks = 0;
    for (int offset = 0; offset < pcm.size(); offset += piece) {
        pipe.push(pcm.mid(offset, piece));
        ++blocks;
        QTRY_COMPARE(decoder->statisticsObject()->packetCount, blocks);
    }
    QVERIFY(output.data() == pcm);
    if (compressed)
        QVERIFY(m_log->contains(QStringLiteral("Compressed packet received: ")));
}

void TestRawCodecs::lostPacketsLeaveNoTrace()
{
    QBuffer output;
    output.open(QIODevice::ReadWrite);
    MRawDecoder raw(&output, MM::defaultAudioFormat());
    raw.voicePacketReceived(MAbstractSocket::intToByteArray(1) + "ab");
    raw.voicePacketReceived(MAbstractSocket::intToByteArray(2)); // no payload
    raw.voicePacketReceived(MAbstractSocket::intToByteArray(6) + "cd");
    QCOMPARE(output.data(), QByteArray("abcd"));

    QBuffer unpacked;
    unpacked.open(QIODevice::ReadWrite);
    MZLibDecoder zlib(&unpacked, MM::defaultAudioFormat());
    zlib.voicePacketReceived(MAbstractSocket::intToByteArray(1) + qCompress("ab"));
    zlib.voicePacketReceived(MAbstractSocket::intToByteArray(2) + QByteArray(4, '\0'));
    zlib.voicePacketReceived(MAbstractSocket::intToByteArray(9) + qCompress("cd"));
    QCOMPARE(unpacked.data(), QByteArray("abcd"));
}

void TestRawCodecs::hostileCompressedPayloads_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("diagnostic");
    QByteArray huge = qCompress(QByteArray(1000, 'x'));
    qToBigEndian<quint32>(0xC0000000u, huge.data());
    QByteArray justOver = qCompress(QByteArray(1000, 'x'));
    qToBigEndian<quint32>(quint32(MZLibDecoder::kMaxUncompressedBytes) + 1, justOver.data());

    QTest::newRow("a payload announcing 3 GiB is dropped unread")
        << huge << QStringLiteral("dropped");
    QTest::newRow("a payload announcing one byte over the bound is dropped")
        << justOver << QStringLiteral("dropped");
    QTest::newRow("a payload that is no zlib stream gives nothing")
        << QByteArray::fromHex("00000010deadbeef") << QStringLiteral("qUncompress");
    QTest::newRow("a payload shorter than its size field gives nothing")
        << QByteArray::fromHex("0001") << QStringLiteral("qUncompress");
}

void TestRawCodecs::hostileCompressedPayloads()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, diagnostic);
    QBuffer output;
    output.open(QIODevice::ReadWrite);
    MZLibDecoder decoder(&output, MM::defaultAudioFormat());
    decoder.voicePacketReceived(MAbstractSocket::intToByteArray(1) + payload);
    QCOMPARE(output.size(), 0);
    QVERIFY2(m_log->contains(diagnostic), qPrintable(m_log->lines().join(u'\n')));
    // A good block after it still plays.
    decoder.voicePacketReceived(MAbstractSocket::intToByteArray(2) + qCompress("ok"));
    QCOMPARE(output.data(), QByteArray("ok"));
    // Exactly at the bound is fine.
    const QByteArray most(MZLibDecoder::kMaxUncompressedBytes, 'm');
    decoder.voicePacketReceived(MAbstractSocket::intToByteArray(3) + qCompress(most));
    QCOMPARE(output.size(), qint64(2 + most.size()));
}

QTEST_GUILESS_MAIN(TestRawCodecs)
#include "tst_rawcodecs.moc"
