// podium's command table: which handler each command text reaches, with
// which argument, in the order the rules are tried.

#include "assistantcommand.h"
#include "sessioncommands.h"

#include <QtTest>

Q_DECLARE_METATYPE(AssistantCommand::Kind)

class TestAssistantCommand : public QObject
{
    Q_OBJECT

private slots:
    void commandTable_data();
    void commandTable();
};

void TestAssistantCommand::commandTable_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<AssistantCommand::Kind>("kind");
    QTest::addColumn<QString>("rest");

    using namespace AssistantCommand;
    QTest::newRow("a protocol version") << "PROTOCOLVER1" << ProtocolVersion << "1";
    QTest::newRow("an identity answer") << "IDENTIFY:FAIL" << IdentifyResult << "FAIL";
    QTest::newRow("a UDP request with its token") << "UDPREQUEST17" << UdpRequest << "17";
    QTest::newRow("the external UDP end")
        << "YOURUDPI:P127.0.0.1:5000" << YourUdpIpPort << "127.0.0.1:5000";
    QTest::newRow("a copy probe") << "DOYOUCOPY?4" << DoYouCopy << "4";
    QTest::newRow("connected with any text after it") << "CONNECTED now" << Connected << " now";
    QTest::newRow("a client list") << "CLLS1:2\\3:4\\Ann" << ClientList << "1:2\\3:4\\Ann";
    QTest::newRow("a bare client list") << "CLLS" << ClientList << "";
    QTest::newRow("a transfer number") << "XDATAID12" << XDataId << "12";
    QTest::newRow("a file offer") << "FILEX3|a.txt|10|Bob" << FileOffer << "3|a.txt|10|Bob";
    QTest::newRow("a sender's cancel is not an offer") << "CANCELFILEX3" << FileCancel << "3";
    QTest::newRow("a client count") << "NCLIENTS2" << ClientCount << "2";
    QTest::newRow("a speaker count is not a client count")
        << "NSPEAKINGCLIENTS1" << SpeakerCount << "1";
    QTest::newRow("start voice exactly") << "STARTVOICE" << StartVoice << "";
    QTest::newRow("start voice with a trailing blank is unknown") << "STARTVOICE " << Unknown << "";
    QTest::newRow("start voice with trailing letters is unknown")
        << "STARTVOICENOW" << Unknown << "";
    QTest::newRow("start voice in small letters is unknown") << "startvoice" << Unknown << "";
    QTest::newRow("stop voice exactly") << "STOPVOICE" << StopVoice << "";
    QTest::newRow("stop voice with more is unknown") << "STOPVOICE!" << Unknown << "";
    QTest::newRow("a ping meant for students is unknown") << "PING1" << Unknown << "";
    QTest::newRow("a class end meant for students is unknown") << "CLASSFINISHED" << Unknown << "";
    QTest::newRow("an empty command is unknown") << "" << Unknown << "";
}

void TestAssistantCommand::commandTable()
{
    QFETCH(QString, command);
    QFETCH(AssistantCommand::Kind, kind);
    QFETCH(QString, rest);
    const AssistantCommand::Parsed parsed = AssistantCommand::parse(command);
    QCOMPARE(parsed.kind, kind);
    QCOMPARE(parsed.rest, rest);
    // The raw payload's argument starts where the text's does.
    if (kind != AssistantCommand::Unknown)
        QCOMPARE(command.mid(parsed.keywordSize), rest);
}

QTEST_GUILESS_MAIN(TestAssistantCommand)
#include "tst_assistantcommand.moc"
