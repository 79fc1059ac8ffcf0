// podium's command table: which handler each command text reaches, with
// which argument, in the order the rules are tried.

#include "assistantcommand.h"
#include "commandtablerows.h"

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
    CommandTableRows::addColumns<AssistantCommand::Kind>();
    CommandTableRows::addClientRows<AssistantCommand::Kind>();

    using namespace AssistantCommand;
    QTest::newRow("a client list") << "CLLS1:2\\3:4\\Ann" << ClientList << "1:2\\3:4\\Ann";
    QTest::newRow("a bare client list") << "CLLS" << ClientList << "";
    QTest::newRow("a transfer number") << "XDATAID12" << XDataId << "12";
    QTest::newRow("a file offer") << "FILEX3|a.txt|10|Bob" << FileOffer << "3|a.txt|10|Bob";
    QTest::newRow("a sender's cancel is not an offer") << "CANCELFILEX3" << FileCancel << "3";
    QTest::newRow("a client count") << "NCLIENTS2" << ClientCount << "2";
    QTest::newRow("a speaker count is not a client count")
        << "NSPEAKINGCLIENTS1" << SpeakerCount << "1";
    QTest::newRow("a ping meant for students is unknown") << "PING1" << Unknown << "";
    QTest::newRow("a class end meant for students is unknown") << "CLASSFINISHED" << Unknown << "";
}

void TestAssistantCommand::commandTable()
{
    CommandTableRows::check<AssistantCommand::Kind>(AssistantCommand::parse);
}

QTEST_GUILESS_MAIN(TestAssistantCommand)
#include "tst_assistantcommand.moc"
