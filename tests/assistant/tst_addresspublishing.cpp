// Announcing and fetching the server's address through the address-service
// stand-in: the exchanges on their own, and a window that starts its session
// from the answer, or from its configured address when there is none.

#include "addressservice.h"
#include "classroomfixture.h"
#include "daddresspublisher.h"

#include "audiotestmain.h"
#include <QTcpServer>
#include <QUrl>
#include <QtTest>

Q_DECLARE_METATYPE(QHostAddress)

using namespace ClassroomFixture;

namespace {

QString hostOf(const AddressService& service)
{
    return QStringLiteral("127.0.0.1:%1").arg(service.port());
}

// A port on which nothing listens: taken and given back.
quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

} // namespace

class TestAddressPublishing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void hostKeywords_data();
    void hostKeywords();
    void serviceUrl_data();
    void serviceUrl();
    void answers_data();
    void answers();
    void announceRecordsTheRequester();
    void query_data();
    void query();
    void windowConnectsToTheFetchedAddress();
    void windowFallsBackWhenTheServiceIsSilent();
    void announcingDoesNotHoldUpTheSession();
};

void TestAddressPublishing::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("PULSE_SERVER"), "run through with-pulse.sh (ctest)");
    qRegisterMetaType<QHostAddress>();
}

void TestAddressPublishing::hostKeywords_data()
{
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QString>("setting"); // PODIUM_PUBLISHING_HOST; empty: unset
    QTest::addColumn<QString>("host");

    QTest::newRow("the first keyword names the local stand-in")
        << QStringLiteral("<def>") << QString() << QStringLiteral("127.0.0.1:8480");
    QTest::newRow("the third keyword names the stand-in's third port")
        << QStringLiteral("<def3>") << QString() << QStringLiteral("127.0.0.1:8482");
    QTest::newRow("a setting replaces the first keyword")
        << QStringLiteral("<def>") << QStringLiteral("addresses.example:8080")
        << QStringLiteral("addresses.example:8080");
    QTest::newRow("a setting for the first keyword leaves the second alone") << QStringLiteral(
        "<def2>") << QStringLiteral("addresses.example") << QStringLiteral("127.0.0.1:8481");
    QTest::newRow("any other text is the host itself")
        << QStringLiteral("my.host:81") << QStringLiteral("addresses.example")
        << QStringLiteral("my.host:81");
}

void TestAddressPublishing::hostKeywords()
{
    QFETCH(QString, keyword);
    QFETCH(QString, setting);
    QFETCH(QString, host);
    if (setting.isEmpty())
        qunsetenv("PODIUM_PUBLISHING_HOST");
    else
        qputenv("PODIUM_PUBLISHING_HOST", setting.toUtf8());
    QCOMPARE(AssistantConfig::publishingHostFor(keyword), host);
    qunsetenv("PODIUM_PUBLISHING_HOST");
}

void TestAddressPublishing::serviceUrl_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("announce");
    QTest::addColumn<QString>("url");

    QTest::newRow("a host name asks port 80") << QStringLiteral(
        "addresses.example") << false << QStringLiteral("http://addresses.example:80/ip.php");
    QTest::newRow("announcing adds the set query") << QStringLiteral(
        "addresses.example") << true << QStringLiteral("http://addresses.example:80/ip.php?set");
    QTest::newRow("a host may carry its port") << QStringLiteral("127.0.0.1:8480") << false
                                               << QStringLiteral("http://127.0.0.1:8480/ip.php");
    QTest::newRow("blanks around the host are ignored")
        << QStringLiteral("  10.1.2.3 ") << true << QStringLiteral("http://10.1.2.3:80/ip.php?set");
    QTest::newRow("no host gives no address") << QString() << false << QString();
    QTest::newRow("a path is not a host") << QStringLiteral("x.example/evil") << false << QString();
}

void TestAddressPublishing::serviceUrl()
{
    QFETCH(QString, host);
    QFETCH(bool, announce);
    QFETCH(QString, url);
    const QUrl built = DAddressPublisher::serviceUrl(host, announce);
    QCOMPARE(built.isValid() ? built.toString() : QString(), url);
}

void TestAddressPublishing::answers_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("address");

    QTest::newRow("an address and a line end")
        << QByteArray("192.168.1.20\r\n") << true << QStringLiteral("192.168.1.20");
    QTest::newRow("blanks around it")
        << QByteArray("  10.0.0.7 \n") << true << QStringLiteral("10.0.0.7");
    QTest::newRow("nothing announced yet") << QByteArray("\r\n") << false << QString();
    QTest::newRow("a web page") << QByteArray("<html>busy</html>") << false << QString();
    QTest::newRow("an address with a port is no address")
        << QByteArray("10.0.0.7:4060") << false << QString();
}

void TestAddressPublishing::answers()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, ok);
    QFETCH(QString, address);
    QHostAddress parsed;
    QCOMPARE(DAddressPublisher::parseAnswer(body, parsed), ok);
    QCOMPARE(ok ? parsed.toString() : QString(), address);
}

void TestAddressPublishing::announceRecordsTheRequester()
{
    AddressService service;
    QVERIFY(service.listen(QHostAddress::LocalHost, 0));
    DAddressPublisher publisher(hostOf(service));
    QSignalSpy announced(&publisher, &DAddressPublisher::announced);
    QSignalSpy lines(&publisher, &DAddressPublisher::statusLine);

    publisher.sendUSetRequest();
    QTRY_COMPARE(announced.count(), 1);
    QCOMPARE(announced.constFirst().value(0).toBool(), true);
    QCOMPARE(service.recordedAddress(), QStringLiteral("127.0.0.1"));
    QCOMPARE(service.requests().size(), 1);
    QCOMPARE(service.requests().constFirst(),
        QStringLiteral("GET /ip.php?set HTTP/1.1\nHost: %1").arg(hostOf(service)));
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(0).value(0).toString().contains(
        QStringLiteral("Publishing Server IP address...")));
    QVERIFY(lines.at(1).value(0).toString().contains(QStringLiteral("Server IP Announced.")));
}

void TestAddressPublishing::query_data()
{
    QTest::addColumn<QString>("serviceKind"); // answering, split, silent, closed
    QTest::addColumn<bool>("received");
    QTest::addColumn<QString>("lastLine");

    QTest::newRow("a whole answer gives the address")
        << QStringLiteral("answering") << true << QStringLiteral("Server IP Received.");
    QTest::newRow("an answer split over several reads is read whole")
        << QStringLiteral("split") << true << QStringLiteral("Server IP Received.");
    QTest::newRow("a silent service runs out of time")
        << QStringLiteral("silent") << false
        << QStringLiteral("Getting the server IP address failed: no answer within 0.5 s. "
                          "Using the configured address.");
    QTest::newRow("no service at all")
        << QStringLiteral("closed") << false << QStringLiteral("Using the configured address.");
    QTest::newRow("nothing asked keeps the configured address at once")
        << QStringLiteral("unasked") << false << QString();
}

void TestAddressPublishing::query()
{
    QFETCH(QString, serviceKind);
    QFETCH(bool, received);
    QFETCH(QString, lastLine);

    AddressService service;
    QVERIFY(service.listen(QHostAddress::LocalHost, 0));
    service.setRecordedAddress(QStringLiteral("10.20.30.40"));
    if (serviceKind == QLatin1String("split"))
        service.setReplyParts(6, 60);
    service.setSilent(serviceKind == QLatin1String("silent"));
    const QString host = serviceKind == QLatin1String("closed")
        ? QStringLiteral("127.0.0.1:%1").arg(closedPort())
        : hostOf(service);

    DAddressPublisher publisher(host);
    publisher.setTimeout(500);
    QSignalSpy addresses(&publisher, &DAddressPublisher::addressReceived);
    QSignalSpy unavailable(&publisher, &DAddressPublisher::addressUnavailable);
    QSignalSpy lines(&publisher, &DAddressPublisher::statusLine);
    QSignalSpy chosen(&publisher, &DAddressPublisher::serverAddressChosen);
    const bool ask = serviceKind != QLatin1String("unasked");
    publisher.start(false, ask);
    if (!ask) {
        QCOMPARE(chosen.count(), 1);
        QCOMPARE(chosen.constFirst().value(0).value<QHostAddress>(), QHostAddress());
        QVERIFY(lines.isEmpty());
        return;
    }

    QTRY_COMPARE_WITH_TIMEOUT(addresses.count() + unavailable.count(), 1, 10000);
    // The window follows the one choice: the fetched address or the configured one.
    QCOMPARE(chosen.count(), 1);
    QCOMPARE(chosen.constFirst().value(0).value<QHostAddress>(),
        received ? QHostAddress(QStringLiteral("10.20.30.40")) : QHostAddress());
    QCOMPARE(addresses.count(), received ? 1 : 0);
    if (received)
        QCOMPARE(addresses.constFirst().value(0).value<QHostAddress>(),
            QHostAddress(QStringLiteral("10.20.30.40")));
    QVERIFY2(lines.constLast().value(0).toString().contains(lastLine),
        qPrintable(lines.constLast().value(0).toString()));
    if (serviceKind != QLatin1String("closed"))
        QCOMPARE(service.requests().value(0),
            QStringLiteral("GET /ip.php HTTP/1.1\nHost: %1").arg(hostOf(service)));
}

void TestAddressPublishing::windowConnectsToTheFetchedAddress()
{
    Room room;
    AddressService service;
    QVERIFY(service.listen(QHostAddress::LocalHost, 0));
    service.setRecordedAddress(QStringLiteral("127.0.0.1"));
    service.setReplyParts(3, 50);

    AssistantConfig config = room.config(QStringLiteral("Ann"));
    // Only the answer can lead the window to the class.
    config.serverTcpAddress = config.serverUdpAddress = QHostAddress(QStringLiteral("127.0.0.2"));
    config.fetchAddress = true;
    config.publishingHost = hostOf(service);
    DMainWindow window(config);
    window.show();

    QTRY_VERIFY_WITH_TIMEOUT(isReady(window), kJoinTimeoutMs);
    const QString chat = chatText(window);
    QVERIFY(chat.indexOf(QStringLiteral("Getting Server IP Address..."))
        < chat.indexOf(QStringLiteral("Server IP Received.")));
    QCOMPARE(window.configuration().serverTcpAddress, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(window.configuration().serverUdpAddress, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(room.readyCount(), 1);
}

void TestAddressPublishing::windowFallsBackWhenTheServiceIsSilent()
{
    Room room;
    AddressService service;
    QVERIFY(service.listen(QHostAddress::LocalHost, 0));
    service.setSilent(true);

    AssistantConfig config = room.config(QStringLiteral("Ann"));
    config.fetchAddress = true;
    config.publishingHost = hostOf(service);
    DMainWindow window(config);
    window.show();

    // Once the service holds the question, the window waits for it (unless a
    // slow machine already reached the time-out); then the configured address.
    QTRY_COMPARE(service.requests().size(), 1);
    if (!chatText(window).contains(QStringLiteral("Using the configured address.")))
        QVERIFY(!window.isConnecting());
    QTRY_VERIFY_WITH_TIMEOUT(
        chatText(window).contains(QStringLiteral("Using the configured address.")),
        DAddressPublisher::kDefaultTimeoutMs + 5000);
    QTRY_VERIFY_WITH_TIMEOUT(isReady(window), kJoinTimeoutMs);
    QVERIFY(!chatText(window).contains(QStringLiteral("Server IP Received.")));
}

void TestAddressPublishing::announcingDoesNotHoldUpTheSession()
{
    Room room;
    AddressService service;
    QVERIFY(service.listen(QHostAddress::LocalHost, 0));
    service.setSilent(true);

    AssistantConfig config = room.config(QStringLiteral("Ann"));
    config.publishAddress = true;
    config.publishingHost = hostOf(service);
    DMainWindow window(config);
    window.show();

    QTRY_VERIFY_WITH_TIMEOUT(isReady(window), kJoinTimeoutMs);
    QVERIFY(chatText(window).contains(QStringLiteral("Publishing Server IP address...")));
    QTRY_COMPARE(service.requests().size(), 1);
    QVERIFY(service.requests().constFirst().startsWith(QStringLiteral("GET /ip.php?set HTTP/1.1")));
}

CLASSROOM_AUDIO_TEST_MAIN(TestAddressPublishing)
#include "tst_addresspublishing.moc"
