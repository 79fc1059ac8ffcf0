#include "mabstractsocket.h"

#include <QtTest>

// The static services of the packet interface: number packing, the text
// payload, tags, address texts and state texts.
class TestMAbstractSocket : public QObject
{
    Q_OBJECT

private slots:
    void intToByteArray_data();
    void intToByteArray();
    void byteArrayToIntIgnoresTrailingBytes();
    void byteArrayToIntOnShortInput_data();
    void byteArrayToIntOnShortInput();
    void textPacketRoundTrip_data();
    void textPacketRoundTrip();
    void decodeTextPacketKeepsOutputsOnBadPayload_data();
    void decodeTextPacketKeepsOutputsOnBadPayload();
    void dataTypeFromTag_data();
    void dataTypeFromTag();
    void parseAddressPort_data();
    void parseAddressPort();
    void getStateString_data();
    void getStateString();
    void addressTextUnmapsIpv4();
};

void TestMAbstractSocket::intToByteArray_data()
{
    QTest::addColumn<quint32>("value");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("one is the last byte") << 1u << QByteArray::fromHex("00000001");
    QTest::newRow("48000 as a sample rate") << 48000u << QByteArray::fromHex("0000bb80");
    QTest::newRow("most significant byte first") << 0x12345678u << QByteArray::fromHex("12345678");
    QTest::newRow("all bits set") << 0xFFFFFFFFu << QByteArray::fromHex("ffffffff");
}

void TestMAbstractSocket::intToByteArray()
{
    QFETCH(quint32, value);
    QFETCH(QByteArray, bytes);
    QCOMPARE(MAbstractSocket::intToByteArray(value), bytes);
    QCOMPARE(MAbstractSocket::byteArrayToInt(bytes), value);
}

void TestMAbstractSocket::byteArrayToIntIgnoresTrailingBytes()
{
    QCOMPARE(MAbstractSocket::byteArrayToInt(QByteArray::fromHex("fffffffe")), 4294967294u);
    QCOMPARE(MAbstractSocket::byteArrayToInt(QByteArray::fromHex("00000013aabbcc")), 19u);
}

void TestMAbstractSocket::byteArrayToIntOnShortInput_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray::fromHex("ff");
    QTest::newRow("three bytes") << QByteArray::fromHex("ffffff");
}

void TestMAbstractSocket::byteArrayToIntOnShortInput()
{
    QFETCH(QByteArray, bytes);
    // Built from a heap copy so that AddressSanitizer sees any read past the end.
    const QByteArray exact(bytes.constData(), bytes.size());
    QCOMPARE(MAbstractSocket::byteArrayToInt(exact), 0u);
}

void TestMAbstractSocket::textPacketRoundTrip_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("empty name and two letters")
        << QString() << QStringLiteral("hi") << QByteArray::fromHex("000000006869");
    QTest::newRow("name length counts UTF-8 bytes, not characters") << QStringLiteral(
        "Zoë") << QStringLiteral("ok") << QByteArray::fromHex("000000045a6fc3ab6f6b");
    QTest::newRow("empty message")
        << QStringLiteral("ab") << QString() << QByteArray::fromHex("000000026162");
    QTest::newRow("message holding the separator characters")
        << QStringLiteral("t") << QStringLiteral("a|b\\c")
        << QByteArray::fromHex("0000000174") + QByteArray("a|b\\c");
}

void TestMAbstractSocket::textPacketRoundTrip()
{
    QFETCH(QString, name);
    QFETCH(QString, message);
    QFETCH(QByteArray, payload);
    QCOMPARE(MAbstractSocket::encodeTextPacket(name, message), payload);
    QString decodedName = QStringLiteral("unset");
    QString decodedMessage = QStringLiteral("unset");
    MAbstractSocket::decodeTextPacket(payload, decodedName, decodedMessage);
    QCOMPARE(decodedName, name);
    QCOMPARE(decodedMessage, message);
}

void TestMAbstractSocket::decodeTextPacketKeepsOutputsOnBadPayload_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("prefix cut short") << QByteArray::fromHex("000000");
    QTest::newRow("prefix says 10 but 6 bytes follow")
        << QByteArray::fromHex("0000000a616263646566");
    QTest::newRow("prefix near the 32-bit limit") << QByteArray::fromHex("ffffffff61");
}

void TestMAbstractSocket::decodeTextPacketKeepsOutputsOnBadPayload()
{
    QFETCH(QByteArray, payload);
    const QByteArray exact(payload.constData(), payload.size());
    QString name = QStringLiteral("before");
    QString message = QStringLiteral("before too");
    MAbstractSocket::decodeTextPacket(exact, name, message);
    QCOMPARE(name, QStringLiteral("before"));
    QCOMPARE(message, QStringLiteral("before too"));
}

void TestMAbstractSocket::dataTypeFromTag_data()
{
    QTest::addColumn<QByteArray>("tag");
    QTest::addColumn<int>("type");
    QTest::newRow("command") << QByteArray("COMD") << int(CommandData);
    QTest::newRow("text") << QByteArray("TEXT") << int(TextData);
    QTest::newRow("voice") << QByteArray("VOIC") << int(VoiceData);
    QTest::newRow("extra data") << QByteArray("XDTA") << int(ExtraData);
    QTest::newRow("case matters") << QByteArray("comd") << int(UnrecognisedData);
    QTest::newRow("unknown tag") << QByteArray("ABCD") << int(UnrecognisedData);
    QTest::newRow("pass-through data is not one of the four")
        << QByteArray("PDTA") << int(UnrecognisedData);
    QTest::newRow("too short") << QByteArray("COM") << int(UnrecognisedData);
    QTest::newRow("too long") << QByteArray("COMDX") << int(UnrecognisedData);
}

void TestMAbstractSocket::dataTypeFromTag()
{
    QFETCH(QByteArray, tag);
    QFETCH(int, type);
    QCOMPARE(int(MAbstractSocket::dataTypeFromTag(tag)), type);
}

void TestMAbstractSocket::parseAddressPort_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    const QString unchangedAddress = QStringLiteral("10.1.2.3");
    const int unchangedPort = 1234;
    QTest::newRow("blank text changes nothing")
        << QStringLiteral("   ") << true << unchangedAddress << unchangedPort;
    QTest::newRow("IPv4 literal alone sets only the address")
        << QStringLiteral(" 192.168.0.7 ") << true << QStringLiteral("192.168.0.7")
        << unchangedPort;
    QTest::newRow("IPv6 literal without a port")
        << QStringLiteral("::1") << false << unchangedAddress << unchangedPort;
    QTest::newRow("bare IPv6 is split at its first colon")
        << QStringLiteral("fe80::1") << false << unchangedAddress << unchangedPort;
    QTest::newRow("address and port")
        << QStringLiteral("127.0.0.1:4060") << true << QStringLiteral("127.0.0.1") << 4060;
    QTest::newRow("spaces around both parts")
        << QStringLiteral(" 127.0.0.1 : 4061 ") << true << QStringLiteral("127.0.0.1") << 4061;
    QTest::newRow("letters as port keep the port")
        << QStringLiteral("10.0.0.1:abc") << false << QStringLiteral("10.0.0.1") << unchangedPort;
    QTest::newRow("host name keeps the address but sets the port")
        << QStringLiteral("school.example:4060") << false << unchangedAddress << 4060;
    QTest::newRow("port beyond 16 bits wraps")
        << QStringLiteral("10.0.0.2:70000") << true << QStringLiteral("10.0.0.2") << 4464;
    QTest::newRow("empty port part")
        << QStringLiteral("10.0.0.3:") << false << QStringLiteral("10.0.0.3") << unchangedPort;
    QTest::newRow("host name alone")
        << QStringLiteral("localhost") << false << unchangedAddress << unchangedPort;
}

void TestMAbstractSocket::parseAddressPort()
{
    QFETCH(QString, text);
    QFETCH(bool, result);
    QFETCH(QString, address);
    QFETCH(int, port);
    QHostAddress parsedAddress(QStringLiteral("10.1.2.3"));
    quint16 parsedPort = 1234;
    QCOMPARE(MAbstractSocket::parseAddressPort(text, parsedAddress, parsedPort), result);
    QCOMPARE(parsedAddress.toString(), address);
    QCOMPARE(int(parsedPort), port);
}

void TestMAbstractSocket::getStateString_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("text");
    QTest::newRow("unconnected") << int(QAbstractSocket::UnconnectedState)
                                 << QStringLiteral("Disconnected");
    QTest::newRow("host lookup") << int(QAbstractSocket::HostLookupState)
                                 << QStringLiteral("Resolving host...");
    QTest::newRow("connecting") << int(QAbstractSocket::ConnectingState)
                                << QStringLiteral("Connecting...");
    QTest::newRow("connected") << int(QAbstractSocket::ConnectedState)
                               << QStringLiteral("Connected");
    QTest::newRow("bound") << int(QAbstractSocket::BoundState)
                           << QStringLiteral("Connected, Bound");
    QTest::newRow("listening has no text")
        << int(QAbstractSocket::ListeningState) << QStringLiteral("Unknown");
    QTest::newRow("closing") << int(QAbstractSocket::ClosingState) << QStringLiteral("Closing...");
    QTest::newRow("a value outside the enumeration") << 42 << QStringLiteral("Unknown");
}

void TestMAbstractSocket::getStateString()
{
    QFETCH(int, state);
    QFETCH(QString, text);
    QCOMPARE(MAbstractSocket::getStateString(QAbstractSocket::SocketState(state)), text);
}

void TestMAbstractSocket::addressTextUnmapsIpv4()
{
    QCOMPARE(MAbstractSocket::addressText(QHostAddress(QStringLiteral("::ffff:10.0.0.5")), 4060),
        QStringLiteral("10.0.0.5:4060"));
    QCOMPARE(MAbstractSocket::addressText(QHostAddress(QStringLiteral("::1")), 7),
        QStringLiteral("::1:7"));
}

QTEST_GUILESS_MAIN(TestMAbstractSocket)
#include "tst_mabstractsocket.moc"
