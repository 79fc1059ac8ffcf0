#include "classroomclient.h"
#include "mabstractsocket.h"
#include "wireformat.h"

#include <cstdio>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

// Joins a class, optionally says something and speaks a stream of dummy voice
// packets, and prints every packet it receives, until the time is up.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(CLASSROOM_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Scripted classroom client."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption connectOption(
        QStringList { QStringLiteral("c"), QStringLiteral("connect") },
        QStringLiteral("Server address:port (TCP and UDP)."), QStringLiteral("address:port"),
        QStringLiteral("127.0.0.1:%1").arg(WireFormat::kDefaultServerPort));
    const QCommandLineOption nameOption(QStringList { QStringLiteral("n"), QStringLiteral("name") },
        QStringLiteral("Identity name."), QStringLiteral("name"), QStringLiteral("client"));
    const QCommandLineOption textOption(QStringLiteral("text"),
        QStringLiteral("Text to send once ready."), QStringLiteral("message"));
    const QCommandLineOption voiceOption(QStringLiteral("voice"),
        QStringLiteral("Number of voice packets to send, 50 per second."), QStringLiteral("count"),
        QStringLiteral("0"));
    const QCommandLineOption stayOption(QStringLiteral("stay"),
        QStringLiteral("Seconds to stay after sending (default 2)."), QStringLiteral("seconds"),
        QStringLiteral("2"));
    parser.addOptions({ connectOption, nameOption, textOption, voiceOption, stayOption });
    parser.process(app);

    QHostAddress address(QHostAddress::LocalHost);
    quint16 port = WireFormat::kDefaultServerPort;
    if (!MAbstractSocket::parseAddressPort(parser.value(connectOption), address, port)) {
        std::fprintf(stderr, "classroom-client: bad address:port \"%s\"\n",
            qPrintable(parser.value(connectOption)));
        return 2;
    }
    const int voiceCount = parser.value(voiceOption).toInt();
    const int staySeconds = parser.value(stayOption).toInt();

    ClassroomClient client(parser.value(nameOption));
    QObject::connect(&client, &ClassroomClient::packetArrived,
        [](bool overUdp, MDataType type, const QByteArray& data) {
            const char* transport = overUdp ? "UDP" : "TCP";
            switch (type) {
            case CommandData:
                std::printf("%s command %s\n", transport, data.constData());
                break;
            case TextData: {
                QString name;
                QString message;
                MAbstractSocket::decodeTextPacket(data, name, message);
                std::printf(
                    "%s text from \"%s\": %s\n", transport, qPrintable(name), qPrintable(message));
                break;
            }
            case VoiceData:
                std::printf("%s voice #%u, %d bytes\n", transport,
                    MAbstractSocket::byteArrayToInt(data),
                    int(data.size()) - WireFormat::kVoiceHeaderSize);
                break;
            default:
                std::printf("%s data type %d, %d bytes\n", transport, int(type), int(data.size()));
                break;
            }
            std::fflush(stdout);
        });
    QObject::connect(&client, &ClassroomClient::tcpDisconnected, [] {
        std::printf("disconnected\n");
        QCoreApplication::exit(1);
    });

    auto* voiceTimer = new QTimer(&app);
    int sent = 0;
    auto finish = [&client, staySeconds] {
        QTimer::singleShot(staySeconds * 1000, [&client] {
            client.exitClass();
            QCoreApplication::quit();
        });
    };
    QObject::connect(voiceTimer, &QTimer::timeout, [&] {
        const QByteArray payload(60, char(sent & 0x7f));
        client.sendVoice(payload, ++sent);
        if (sent >= voiceCount) {
            voiceTimer->stop();
            std::printf("sent %d voice packets\n", sent);
            finish();
        }
    });
    QObject::connect(&client, &ClassroomClient::becameReady, [&] {
        std::printf("ready as \"%s\"\n", qPrintable(client.identity()));
        if (parser.isSet(textOption))
            client.sendText(client.identity(), parser.value(textOption));
        if (voiceCount > 0)
            voiceTimer->start(20);
        else
            finish();
    });

    if (!client.connectToServer(address, port, address, port)) {
        std::fprintf(stderr, "classroom-client: cannot bind a UDP socket\n");
        return 1;
    }
    return QCoreApplication::exec();
}
