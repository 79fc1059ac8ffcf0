// The chat lines both client windows show.

#include "chatformat.h"

#include <QtTest>

class TestChatFormat : public QObject
{
    Q_OBJECT

private slots:
    void messageLine_data();
    void messageLine();
    void statusLine();
};

void TestChatFormat::messageLine_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("line");

    const QString me = QStringLiteral("Ann");
    QTest::newRow("own message shows as Me in blue")
        << me << QStringLiteral("hello all")
        << QStringLiteral("<span style='color: blue;'><b>Me: </b></span>hello all\r\n");
    QTest::newRow("the teacher shows as Teacher")
        << QStringLiteral("|Teacher|") << QStringLiteral("page 12")
        << QStringLiteral("<span style='color: #FF4000;'><b>Teacher: </b></span>page 12\r\n");
    QTest::newRow("the server shows as Server")
        << QStringLiteral("|Server|") << QStringLiteral("closing soon")
        << QStringLiteral("<span style='color: #800020;'><b>Server: </b></span>closing soon\r\n");
    QTest::newRow("anybody else shows under their name with no style") << QStringLiteral(
        "Bob") << QStringLiteral("hi") << QStringLiteral("<span ><b>Bob: </b></span>hi\r\n");
    QTest::newRow("a name only like the teacher's is just a name")
        << QStringLiteral("Teacher") << QStringLiteral("hi")
        << QStringLiteral("<span ><b>Teacher: </b></span>hi\r\n");
    QTest::newRow("markup in a message is escaped")
        << QStringLiteral("Bob") << QStringLiteral("<img src='x.png'>")
        << QStringLiteral("<span ><b>Bob: </b></span>&lt;img src='x.png'&gt;\r\n");
    QTest::newRow("markup in a name is escaped")
        << QStringLiteral("<b>Eve</b>") << QStringLiteral("a & b")
        << QStringLiteral("<span ><b>&lt;b&gt;Eve&lt;/b&gt;: </b></span>a &amp; b\r\n");
    QTest::newRow("placeholders in a message stay literal")
        << QStringLiteral("Bob") << QStringLiteral("%1 %2 %3")
        << QStringLiteral("<span ><b>Bob: </b></span>%1 %2 %3\r\n");
}

void TestChatFormat::messageLine()
{
    QFETCH(QString, sender);
    QFETCH(QString, message);
    QFETCH(QString, line);

    QCOMPARE(ChatFormat::messageLine(sender, message, QStringLiteral("Ann")), line);
}

void TestChatFormat::statusLine()
{
    QCOMPARE(ChatFormat::statusLine(QStringLiteral("#C00080"), QStringLiteral("Voice Initialized")),
        QStringLiteral("<span style='color: #C00080;'><b>Voice Initialized</b></span>\r\n"));
    // A file name in a notice is text, not markup.
    QCOMPARE(ChatFormat::noticeLine(QStringLiteral("Sending <b>a&b.txt stopped.")),
        QStringLiteral("<span style='color: #FF8000;'><b>Sending &lt;b&gt;a&amp;b.txt "
                       "stopped.</b></span>\r\n"));
}

QTEST_GUILESS_MAIN(TestChatFormat)
#include "tst_chatformat.moc"
