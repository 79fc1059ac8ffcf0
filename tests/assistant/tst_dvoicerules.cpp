// The assistant's voice rules: the two-speaker limit and the statistics line.

#include "dvoicerules.h"

#include <QtTest>

using DVoiceRules::FlowCounts;

Q_DECLARE_METATYPE(FlowCounts)

class TestDVoiceRules : public QObject
{
    Q_OBJECT

private slots:
    void speakerLimit_data();
    void speakerLimit();
    void statisticsText_data();
    void statisticsText();
};

void TestDVoiceRules::speakerLimit_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("sending");
    QTest::addColumn<bool>("wasSpeaker");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<bool>("nowSpeaker");
    QTest::addColumn<bool>("refused");

    QTest::newRow("an empty floor lets a listener in")
        << 0 << false << false << true << false << false;
    QTest::newRow("one speaker leaves room for a listener")
        << 1 << false << false << true << false << false;
    QTest::newRow("two speakers refuse a listener")
        << 2 << false << false << false << false << true;
    QTest::newRow("a sender counted alone becomes a speaker")
        << 1 << true << false << true << true << false;
    QTest::newRow("a sender as one of two becomes a speaker")
        << 2 << true << false << true << true << false;
    QTest::newRow("a sender as one of three is refused")
        << 3 << true << false << false << false << true;
    QTest::newRow("a speaker as one of three keeps voice")
        << 3 << true << true << false << true << false;
    QTest::newRow("a former speaker who stopped is not refused")
        << 2 << false << true << false << true << false;
    QTest::newRow("a former speaker may listen again")
        << 1 << false << true << true << true << false;
    QTest::newRow("no count is too large for a speaker")
        << 40 << false << true << false << true << false;
}

void TestDVoiceRules::speakerLimit()
{
    QFETCH(int, count);
    QFETCH(bool, sending);
    QFETCH(bool, wasSpeaker);
    QFETCH(bool, allowed);
    QFETCH(bool, nowSpeaker);
    QFETCH(bool, refused);

    const DVoiceRules::SpeakerDecision decision
        = DVoiceRules::decideSpeakerLimit(count, sending, wasSpeaker);
    QCOMPARE(decision.allowed, allowed);
    QCOMPARE(decision.wasSpeaker, nowSpeaker);
    QCOMPARE(decision.refused, refused);
}

void TestDVoiceRules::statisticsText_data()
{
    QTest::addColumn<FlowCounts>("encoder");
    QTest::addColumn<FlowCounts>("decoder");
    QTest::addColumn<QString>("text");

    QTest::newRow("a decoder shows packets and bytes but no rate")
        << FlowCounts { 50, 4400, 50, 0 } << FlowCounts { 50, 3400, 0, 0 }
        << QStringLiteral("Encoder: 50 packets, 4400 bytes, 100.00% success; "
                          "Decoder: 50 packets, 3400 bytes.");
    QTest::newRow("failed sends lower the rate, two decimals")
        << FlowCounts { 49, 4312, 2, 1 } << FlowCounts {}
        << QStringLiteral("Encoder: 49 packets, 4312 bytes, 66.67% success; "
                          "Decoder: 0 packets, 0 bytes.");
    QTest::newRow("an encoder that sent nothing yet shows no rate either")
        << FlowCounts {} << FlowCounts {}
        << QStringLiteral("Encoder: 0 packets, 0 bytes; Decoder: 0 packets, 0 bytes.");
    QTest::newRow("all sends failed")
        << FlowCounts { 3, 264, 0, 3 } << FlowCounts {}
        << QStringLiteral("Encoder: 3 packets, 264 bytes, 0.00% success; "
                          "Decoder: 0 packets, 0 bytes.");
    QTest::newRow("a side with a rate shows it wherever it is")
        << FlowCounts {} << FlowCounts { 7, 616, 7, 1 }
        << QStringLiteral("Encoder: 0 packets, 0 bytes; "
                          "Decoder: 7 packets, 616 bytes, 87.50% success.");
    QTest::newRow("counts near the top of int do not overflow the rate")
        << FlowCounts { 1, 1, 2147483647, 2147483647 } << FlowCounts {}
        << QStringLiteral("Encoder: 1 packets, 1 bytes, 50.00% success; "
                          "Decoder: 0 packets, 0 bytes.");
}

void TestDVoiceRules::statisticsText()
{
    QFETCH(FlowCounts, encoder);
    QFETCH(FlowCounts, decoder);
    QFETCH(QString, text);

    QCOMPARE(DVoiceRules::statisticsText(encoder, decoder), text);
}

QTEST_GUILESS_MAIN(TestDVoiceRules)
#include "tst_dvoicerules.moc"
