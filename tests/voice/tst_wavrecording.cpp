// WAV recording: file names, header bytes, and every recording codec, with
// each file read back by independent readers (Python's wave module and sox)
// as well as byte by byte. Also: files that cannot be created, the format's
// size limit, and a recording cut short.

#include "mm.h"
#include "mstatistics.h"
#include "mudpsocket.h"
#include "mwavrecordercollectordecoder.h"
#include "mwavrecorderdecoder.h"
#include "mwavrecorderencoder.h"
#include "mwavrecordersenderencoder.h"
#include "pcmpipe.h"
#include "voicelink.h"
#include "wavrecorder.h"

#include "logcapture.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <memory>

namespace {

const int kFrameBytes = 3840;

QByteArray pattern(int bytes, int seed)
{
    QByteArray data(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i)
        data[i] = char((i * 7 + seed * 13) % 251 + 1);
    return data;
}

QByteArray packet(int seq, const QByteArray& payload)
{
    return MAbstractSocket::intToByteArray(quint32(seq)) + payload;
}

// "channels sample-width rate frames" as Python's wave module reads the file.
QString pythonWave(const QString& path)
{
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
        { QStringLiteral("-c"),
            QStringLiteral("import wave,sys\nw=wave.open(sys.argv[1])\n"
                           "print(w.getnchannels(),w.getsampwidth(),w.getframerate(),"
                           "w.getnframes())"),
            path });
    if (!python.waitForFinished(20000))
        return QStringLiteral("python did not finish");
    return QString::fromUtf8(python.readAllStandardOutput() + python.readAllStandardError())
        .trimmed();
}

QByteArray fileData(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray touch(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    return QByteArray();
}

} // namespace

class TestWavRecording : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_log.reset();
        m_log = std::make_unique<LogCapture>();
        QVERIFY(m_dir.isValid());
    }
    void cleanup() { m_log.reset(); }

    void numberedFileNames_data();
    void numberedFileNames();
    void oneSecondOfTheDefaultFormat();
    void aRecordingCutShortIsAValidFile();
    void aFileThatCannotBeCreatedIsReported();
    void theSizeLimitStopsTheRecordingCleanly();
    void gapsBecomeSilence();
    void theCollectorRecordsInBlocksAndKeepsItsTail();
    void encodersRecordWhatTheyRead();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
    std::unique_ptr<LogCapture> m_log;
};

void TestWavRecording::numberedFileNames_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("requested");
    QTest::addColumn<QString>("chosen");
    QTest::newRow("a free name is used as it is") << QStringList {} << "talk.wav"
                                                  << "talk.wav";
    QTest::newRow("a taken name gets 1 before its suffix")
        << QStringList { "talk.wav" } << "talk.wav"
        << "talk1.wav";
    QTest::newRow("then 2") << QStringList { "talk.wav", "talk1.wav" } << "talk.wav"
                            << "talk2.wav";
    QTest::newRow("a gap in the numbers is filled")
        << QStringList { "talk.wav", "talk2.wav" } << "talk.wav"
        << "talk1.wav";
    QTest::newRow("a name without a suffix ends in a lone dot") << QStringList { "talk" } << "talk"
                                                                << "talk1.";
    QTest::newRow("only the last suffix moves behind the number")
        << QStringList { "a.b.wav" } << "a.b.wav"
        << "a.b1.wav";
}

void TestWavRecording::numberedFileNames()
{
    QFETCH(QStringList, existing);
    QFETCH(QString, requested);
    QFETCH(QString, chosen);
    QTemporaryDir dir;
    for (const QString& name : existing)
        touch(dir.filePath(name));
    const QAudioFormat format = MM::defaultAudioFormat();
    {
        WavRecorder recorder(dir.filePath(requested), format);
        QCOMPARE(recorder.fileName(), dir.filePath(chosen));
        QVERIFY(recorder.isRecording());
    }
    QCOMPARE(QFileInfo(dir.filePath(chosen)).size(), qint64(WavRecorder::kHeaderBytes));
}

void TestWavRecording::oneSecondOfTheDefaultFormat()
{
    const QString name = path(QStringLiteral("second.wav"));
    const QByteArray pcm = pattern(192000, 1);
    {
        WavRecorder recorder(name, MM::defaultAudioFormat());
        for (int offset = 0; offset < pcm.size(); offset += kFrameBytes)
            recorder.appendAudio(pcm.constData() + offset, kFrameBytes);
        QCOMPARE(recorder.recordedBytes(), qint64(192000));
    }
    QCOMPARE(m_log->count(QStringLiteral("WAV RECORDER INITIALIZED ")), 1);
    QVERIFY(m_log->lines().contains(QStringLiteral("WavRecorder::~WavRecorder() 192000")));
    const QByteArray file = fileData(name);
    QCOMPARE(file.size(), 44 + 192000);
    QCOMPARE(file.left(44).toHex(),
        QByteArray("52494646" // RIFF
                   "24ee0200" // 192000 + 36
                   "57415645" // WAVE
                   "666d7420" // "fmt "
                   "10000000" // 16
                   "0100" // PCM, though the format says unsigned
                   "0200" // channels
                   "80bb0000" // 48000 Hz
                   "00ee0200" // byte rate 192000
                   "0400" // block alignment
                   "1000" // bits per sample
                   "64617461" // data
                   "00ee0200")); // 192000 bytes
    QVERIFY(file.mid(44) == pcm);
    QCOMPARE(pythonWave(name), QStringLiteral("2 2 48000 48000"));
    QProcess sox;
    sox.start(QStringLiteral("sox"), { QStringLiteral("--i"), name });
    QVERIFY(sox.waitForFinished(20000));
    const QString info = QString::fromUtf8(sox.readAllStandardOutput());
    QVERIFY2(info.contains(QStringLiteral("Channels       : 2")), qPrintable(info));
    QVERIFY2(info.contains(QStringLiteral("Sample Rate    : 48000")), qPrintable(info));
    QVERIFY2(info.contains(QStringLiteral("Duration       : 00:00:01.00 = 48000 samples")),
        qPrintable(info));
}

void TestWavRecording::aRecordingCutShortIsAValidFile()
{
    // What a crash or a kill leaves: the file as it is while recording.
    // Every append reaches the system before the next, sizes included.
    const QString name = path(QStringLiteral("cut.wav"));
    WavRecorder recorder(name, MM::defaultAudioFormat());
    QCOMPARE(pythonWave(name), QStringLiteral("2 2 48000 0"));
    recorder.appendAudio(pattern(5 * kFrameBytes, 2));
    QCOMPARE(pythonWave(name), QStringLiteral("2 2 48000 4800"));
    recorder.appendAudio(pattern(kFrameBytes, 3));
    QCOMPARE(pythonWave(name), QStringLiteral("2 2 48000 5760"));
    QCOMPARE(fileData(name).size(), 44 + 6 * kFrameBytes);
}

void TestWavRecording::aFileThatCannotBeCreatedIsReported()
{
    const QString name = path(QStringLiteral("no/such/folder/x.wav"));
    QBuffer output;
    output.open(QIODevice::ReadWrite);
    {
        MWavRecorderDecoder decoder(&output, MM::defaultAudioFormat(), name);
        QVERIFY(!decoder.wavRecorder()->isRecording());
        decoder.voicePacketReceived(packet(1, pattern(kFrameBytes, 4)));
        decoder.voicePacketReceived(packet(3, pattern(kFrameBytes, 4)));
    }
    QVERIFY2(!m_log->linesContaining(QStringLiteral("cannot create")).filter(name).isEmpty(),
        qPrintable(m_log->lines().join(u'\n')));
    QVERIFY(!QFile::exists(name));
}

void TestWavRecording::theSizeLimitStopsTheRecordingCleanly()
{
    const QString name = path(QStringLiteral("limit.wav"));
    {
        WavRecorder recorder(name, MM::defaultAudioFormat());
        // Not a whole sample frame: rounded down to one.
        recorder.setDataLimit(10002);
        for (int i = 0; i < 5; ++i)
            recorder.appendAudio(pattern(kFrameBytes, 5));
        QCOMPARE(recorder.recordedBytes(), qint64(10000));
        QVERIFY(!recorder.isRecording());
    }
    QCOMPARE(m_log->count(QStringLiteral("reached the WAV limit")), 1);
    QCOMPARE(fileData(name).size(), 44 + 10000);
    QCOMPARE(pythonWave(name), QStringLiteral("2 2 48000 2500"));
    QCOMPARE(WavRecorder::kMaxDataBytes + 36, qint64(0xFFFFFFFF));
}

void TestWavRecording::gapsBecomeSilence()
{
    const QString name = path(QStringLiteral("gaps.wav"));
    const QByteArray a = pattern(kFrameBytes, 6), b = pattern(kFrameBytes, 7),
                     d = pattern(kFrameBytes, 8);
    QBuffer output;
    output.open(QIODevice::ReadWrite);
    {
        MWavRecorderDecoder decoder(&output, MM::defaultAudioFormat(), name);
        decoder.voicePacketReceived(packet(1, a));
        decoder.voicePacketReceived(packet(2, b));
        decoder.voicePacketReceived(packet(4, d));
    }
    QCOMPARE(output.size(), 0);
    QVERIFY(fileData(name).mid(44) == a + b + QByteArray(kFrameBytes, '\0') + d);
    QCOMPARE(pythonWave(name), QStringLiteral("2 2 48000 3840"));
}

void TestWavRecording::theCollectorRecordsInBlocksAndKeepsItsTail()
{
    const QString name = path(QStringLiteral("blocks.wav"));
    const QByteArray pcm = pattern(8 * kFrameBytes, 9);
    QBuffer output;
    output.open(QIODevice::ReadWrite);
    {
        MWavRecorderCollectorDecoder decoder(&output, MM::defaultAudioFormat(), name, 0.1f);
        QCOMPARE(decoder.flushThreshold(), 19200);
        for (int i = 0; i < 4; ++i)
            decoder.voicePacketReceived(packet(i + 1, pcm.mid(i * kFrameBytes, kFrameBytes)));
        QCOMPARE(pythonWave(name), QStringLiteral("2 2 48000 0"));
        // Packet 6 lost: its silence completes the first block.
        decoder.voicePacketReceived(packet(6, pcm.mid(5 * kFrameBytes, kFrameBytes)));
        QCOMPARE(decoder.collectedBytes(), kFrameBytes);
        QCOMPARE(fileData(name).size(), 44 + 19200);
        QVERIFY(m_log->contains(QStringLiteral("FLUSH:  19200")));
        decoder.voicePacketReceived(packet(7, pcm.mid(6 * kFrameBytes, kFrameBytes / 2)));
    }
    // The 0.05 s since the last block reach the file when the decoder goes.
    const QByteArray expected = pcm.left(4 * kFrameBytes) + QByteArray(kFrameBytes, '\0')
        + pcm.mid(5 * kFrameBytes, kFrameBytes) + pcm.mid(6 * kFrameBytes, kFrameBytes / 2);
    QVERIFY(fileData(name).mid(44) == expected);
    QCOMPARE(pythonWave(name), QStringLiteral("2 2 48000 6240"));
}

void TestWavRecording::encodersRecordWhatTheyRead()
{
    VoiceTestData::VoiceLink link;
    const QList<QByteArray>& received = link.received;
    MUdpSocket& sender = link.sender;
    const QByteArray pcm = pattern(3 * kFrameBytes, 10);
    const QString quiet = path(QStringLiteral("quiet.wav"));
    const QString loud = path(QStringLiteral("loud.wav"));
    {
        PcmPipe pipe;
        MWavRecorderEncoder recorder(&pipe, MM::defaultAudioFormat(), &sender, quiet);
        PcmPipe pipe2;
        MWavRecorderSenderEncoder both(&pipe2, MM::defaultAudioFormat(), &sender, loud);
        for (int i = 0; i < 3; ++i) {
            pipe.push(pcm.mid(i * kFrameBytes, kFrameBytes));
            pipe2.push(pcm.mid(i * kFrameBytes, kFrameBytes));
        }
        QTRY_COMPARE(received.size(), 3);
        QCOMPARE(recorder.statisticsObject()->packetCount, 0);
    }
    QCOMPARE(received.at(2), MAbstractSocket::intToByteArray(3) + pcm.mid(2 * kFrameBytes));
    QVERIFY(fileData(quiet).mid(44) == pcm);
    QVERIFY(fileData(loud).mid(44) == pcm);
    QCOMPARE(pythonWave(loud), QStringLiteral("2 2 48000 2880"));
}

QTEST_GUILESS_MAIN(TestWavRecording)
#include "tst_wavrecording.moc"
