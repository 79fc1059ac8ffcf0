// The student's decoder table: every row's text and class, built on a real
// started output, and a switch from one decoder to the next on that output.

#include "decodertable.h"
#include "mdecoder.h"
#include "mm.h"
#include "mnotifieddecoder.h"
#include "mopusadvanceddecoder.h"

#include "audiotestmain.h"
#include <QAudioOutput>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestDecoderTable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void rows_data();
    void rows();
    void outsideTheTable();
    void switchingDecodersOnOneOutput();

private:
    QTemporaryDir m_dir;
};

void TestDecoderTable::initTestCase()
{
    // The recording rows write A.wav into the working directory.
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir::setCurrent(m_dir.path()));
    QCOMPARE(DecoderTable::kRowCount, 11);
    QCOMPARE(DecoderTable::itemText(DecoderTable::kDefaultIndex), QStringLiteral("Opus Advanced"));
}

void TestDecoderTable::rows_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("className");
    QTest::addColumn<bool>("paced");
    const struct
    {
        const char* text;
        const char* className;
        bool paced;
    } rows[] = {
        { "Raw", "MRawDecoder", false },
        { "Raw Collector (Broken)", "MRawSimpleCollectorDecoder", false },
        { "Raw Collector w/ Notifications", "MRawCollectorWithNotificationDecoder", true },
        { "Save to A#.wav", "MWavRecorderDecoder", false },
        { "Save to A#.was w/ Collector", "MWavRecorderCollectorDecoder", false },
        { "zlib", "MZLibDecoder", false },
        { "Opus", "MOpusDecoder", false },
        { "Opus w/ Collector w/ Notif.s", "MOpusDecoderWN", true },
        { "Raw Collector WN 2", "MRawCollectorDecoderWN2", true },
        { "Raw Collector WN 2 w/ Lock", "MRawCollectorDecoderWN2WithLock", true },
        { "Opus Advanced", "MOpusAdvancedDecoder", true },
    };
    for (int i = 0; i < 11; ++i)
        QTest::addRow("%d %s", i, rows[i].text)
            << i << QString::fromLatin1(rows[i].text) << QString::fromLatin1(rows[i].className)
            << rows[i].paced;
}

void TestDecoderTable::rows()
{
    QFETCH(int, index);
    QFETCH(QString, text);
    QFETCH(QString, className);
    QFETCH(bool, paced);
    QCOMPARE(DecoderTable::itemText(index), text);

    const QAudioFormat format = MM::deviceAudioFormat(MM::defaultAudioFormat());
    QAudioOutput output(format);
    QIODevice* device = output.start();
    QVERIFY(device);
    QObject window;
    MDecoder* decoder = DecoderTable::create(index, &output, device, format, &window);
    QVERIFY(decoder);
    QCOMPARE(QString::fromLatin1(decoder->metaObject()->className()), className);
    QCOMPARE(decoder->parent(), &window);
    // The paced ones took over the output's notifications: 20 ms periods.
    QCOMPARE(output.notifyInterval(), paced ? 20 : 1000);
    if (auto* notified = qobject_cast<MNotifiedDecoder*>(decoder))
        QVERIFY(notified->outputUsable());
    if (text.startsWith(QLatin1String("Save"))) {
        delete decoder;
        QVERIFY(QFile::exists(QStringLiteral("A.wav")));
        QVERIFY(QFile::remove(QStringLiteral("A.wav")));
    }
}

void TestDecoderTable::outsideTheTable()
{
    QCOMPARE(DecoderTable::itemText(-1), QString());
    QCOMPARE(DecoderTable::itemText(11), QString());
    QBuffer device;
    QCOMPARE(DecoderTable::create(11, nullptr, &device, MM::defaultAudioFormat(), nullptr),
        static_cast<MDecoder*>(nullptr));
    QCOMPARE(DecoderTable::create(-1, nullptr, &device, MM::defaultAudioFormat(), nullptr),
        static_cast<MDecoder*>(nullptr));
}

void TestDecoderTable::switchingDecodersOnOneOutput()
{
    // As the window does at a restart: the old decoder goes later, the new
    // one is built at once and must keep the output's notifications.
    const QAudioFormat format = MM::deviceAudioFormat(MM::defaultAudioFormat());
    QAudioOutput output(format);
    QIODevice* device = output.start();
    QVERIFY(device);
    QObject window;
    MDecoder* old = DecoderTable::create(7, &output, device, format, &window);
    old->deleteLater();
    auto* fresh = qobject_cast<MOpusAdvancedDecoder*>(
        DecoderTable::create(DecoderTable::kDefaultIndex, &output, device, format, &window));
    QVERIFY(fresh);
    const int queued = fresh->bufferedFrames();
    QTRY_VERIFY_WITH_TIMEOUT(fresh->bufferedFrames() < queued, 5000);
}

CLASSROOM_AUDIO_TEST_GUILESS_MAIN(TestDecoderTable)
#include "tst_decodertable.moc"
