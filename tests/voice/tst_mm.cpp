#include "mm.h"

#include "audiotestmain.h"
#include <QAudioDeviceInfo>
#include <QAudioOutput>
#include <QtTest>

class TestMM : public QObject
{
    Q_OBJECT

private slots:
    void defaultFormatAndItsForms();
    void textForm_data();
    void textForm();
    void byteForm_data();
    void byteForm();
    void roundTripsBringTheCodecBack();
    void deviceFormatOpensTheDefaultOutput();
};

void TestMM::defaultFormatAndItsForms()
{
    const QAudioFormat format = MM::defaultAudioFormat();
    QCOMPARE(format.sampleRate(), 48000);
    QCOMPARE(format.channelCount(), 2);
    QCOMPARE(format.sampleSize(), 16);
    QCOMPARE(format.sampleType(), QAudioFormat::UnSignedInt);
    QCOMPARE(format.codec(), QStringLiteral("audio/pcm"));
    QCOMPARE(format.byteOrder(), QAudioFormat::LittleEndian);
    QCOMPARE(MM::serializeAudioFormat(format),
        QByteArray::fromHex("0000bb80000000020000001000000002"
                            "00000001"));
    QCOMPARE(MM::serializeAudioFormatToString(format), QStringLiteral("48000|2|16|2|1"));
    QCOMPARE(MM::deSerializeAudioFormatFromString(QStringLiteral("48000|2|16|2|1")), format);

    const QAudioFormat device = MM::deviceAudioFormat(format);
    QCOMPARE(device.sampleType(), QAudioFormat::SignedInt);
    QCOMPARE(device.sampleSize(), 16);
    QCOMPARE(device.sampleRate(), 48000);
    // 8-bit audio is unsigned on every device and stays so.
    QAudioFormat eight = format;
    eight.setSampleSize(8);
    QCOMPARE(MM::deviceAudioFormat(eight).sampleType(), QAudioFormat::UnSignedInt);
}

void TestMM::textForm_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("order");

    QTest::newRow("eight kHz mono 8-bit unsigned reads as such")
        << "8000|1|8|2|1" << true << 8000 << 1 << 8 << 2 << 1;
    QTest::newRow("a non-numeric part reads as zero")
        << "48000|2|x|2|1" << true << 48000 << 2 << 0 << 2 << 1;
    QTest::newRow("four parts give an invalid format")
        << "48000|2|16|2" << false << -1 << -1 << -1 << 0 << 1;
    QTest::newRow("six parts, the last empty, give an invalid format")
        << "48000|2|16|2|1|" << false << -1 << -1 << -1 << 0 << 1;
    QTest::newRow("an empty text gives an invalid format")
        << "" << false << -1 << -1 << -1 << 0 << 1;
}

void TestMM::textForm()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    const QAudioFormat format = MM::deSerializeAudioFormatFromString(text);
    QCOMPARE(format.isValid(), valid);
    if (!valid) {
        QCOMPARE(format, QAudioFormat());
        return;
    }
    QTEST(format.sampleRate(), "rate");
    QTEST(format.channelCount(), "channels");
    QTEST(format.sampleSize(), "size");
    QTEST(int(format.sampleType()), "type");
    QTEST(int(format.byteOrder()), "order");
    QCOMPARE(format.codec(), QStringLiteral("audio/pcm"));
}

void TestMM::byteForm_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");

    const QByteArray full = MM::serializeAudioFormat(MM::defaultAudioFormat());
    QTest::newRow("twenty bytes read back") << full << true;
    QTest::newRow("bytes after the twentieth are ignored") << full + "junk" << true;
    QTest::newRow("nineteen bytes give an invalid format") << full.left(19) << false;
    QTest::newRow("four bytes give an invalid format") << full.left(4) << false;
    QTest::newRow("no bytes give an invalid format") << QByteArray() << false;
}

void TestMM::byteForm()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    const QAudioFormat format = MM::deSerializeAudioFormat(bytes);
    if (valid)
        QCOMPARE(format, MM::defaultAudioFormat());
    else
        QCOMPARE(format, QAudioFormat());
}

void TestMM::roundTripsBringTheCodecBack()
{
    QAudioFormat format = MM::defaultAudioFormat();
    format.setCodec(QStringLiteral("audio/x-other"));
    format.setSampleRate(16000);
    const QAudioFormat viaBytes = MM::deSerializeAudioFormat(MM::serializeAudioFormat(format));
    const QAudioFormat viaText
        = MM::deSerializeAudioFormatFromString(MM::serializeAudioFormatToString(format));
    for (const QAudioFormat& back : { viaBytes, viaText }) {
        QCOMPARE(back.codec(), QStringLiteral("audio/pcm"));
        QCOMPARE(back.sampleRate(), 16000);
        QCOMPARE(back.sampleType(), QAudioFormat::UnSignedInt);
    }
}

void TestMM::deviceFormatOpensTheDefaultOutput()
{
    // The documented default (16-bit unsigned) is refused by the device; the
    // device form of it opens with a usable period.
    QAudioOutput refused(MM::defaultAudioFormat());
    refused.start();
    QCOMPARE(refused.periodSize(), 0);
    refused.stop();

    QAudioOutput output(MM::deviceAudioFormat(MM::defaultAudioFormat()));
    QIODevice* device = output.start();
    QVERIFY(device);
    QCOMPARE(output.error(), QAudio::NoError);
    QVERIFY(output.periodSize() > 0);
    output.stop();
}

CLASSROOM_AUDIO_TEST_GUILESS_MAIN(TestMM)
#include "tst_mm.moc"
