// impair-relay: a UDP relay on loopback that loses, duplicates, delays,
// jitters and reorders datagrams with a fixed seed; see ImpairRelay.
// Commands on standard input ("set loss=5 jitter=20", "quit") change it while
// it runs; it ends on "quit", at the end of its input, after --lifetime
// seconds, or after --idle seconds without a datagram.

#include "impairrelay.h"

#include <cstdio>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <unistd.h>

namespace {

bool parseEndpoint(const QString& text, QHostAddress& address, quint16& port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint value = text.mid(colon + 1).toUInt(&ok);
    if (colon <= 0 || !ok || value > 65535 || !address.setAddress(text.left(colon)))
        return false;
    port = quint16(value);
    return true;
}

void printCounters(const ImpairRelay& relay)
{
    for (const auto direction : { ImpairRelay::ToUpstream, ImpairRelay::ToClient }) {
        const ImpairRelay::Counters c = relay.counters(direction);
        std::printf("impair-relay: %s received %lld forwarded %lld lost %lld duplicated %lld "
                    "reordered %lld overflow %lld\n",
            direction == ImpairRelay::ToUpstream ? "to-upstream" : "to-client",
            static_cast<long long>(c.received), static_cast<long long>(c.forwarded),
            static_cast<long long>(c.lost), static_cast<long long>(c.duplicated),
            static_cast<long long>(c.reordered), static_cast<long long>(c.overflow));
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(CLASSROOM_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("UDP relay with seeded loss, duplication, delay, jitter and reordering."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption listenOption(QStringLiteral("listen"),
        QStringLiteral("Client-facing address:port (port 0 picks one)."), QStringLiteral("addr"),
        QStringLiteral("127.0.0.1:0"));
    const QCommandLineOption upstreamOption(
        QStringLiteral("upstream"), QStringLiteral("Server address:port."), QStringLiteral("addr"));
    const QCommandLineOption impairOption(QStringLiteral("impair"),
        QStringLiteral("Towards the client: \"loss=P duplicate=P reorder=P reorder-delay=MS "
                       "delay=MS jitter=MS keep-order=0|1\"."),
        QStringLiteral("settings"));
    const QCommandLineOption bothOption(
        QStringLiteral("both-ways"), QStringLiteral("Impair towards the server as well."));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Random seed."),
        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption logOption(QStringLiteral("log"),
        QStringLiteral("Write \"<monotonic ns> <up|down> <hex datagram>\" per arrival."),
        QStringLiteral("file"));
    const QCommandLineOption lifetimeOption(QStringLiteral("lifetime"),
        QStringLiteral("End after this many seconds."), QStringLiteral("s"), QStringLiteral("900"));
    const QCommandLineOption idleOption(QStringLiteral("idle"),
        QStringLiteral("End after this many seconds without a datagram (0: never)."),
        QStringLiteral("s"), QStringLiteral("60"));
    parser.addOptions({ listenOption, upstreamOption, impairOption, bothOption, seedOption,
        logOption, lifetimeOption, idleOption });
    parser.process(app);

    QHostAddress listenAddress, upstreamAddress;
    quint16 listenPort = 0, upstreamPort = 0;
    if (!parseEndpoint(parser.value(listenOption), listenAddress, listenPort)
        || !parseEndpoint(parser.value(upstreamOption), upstreamAddress, upstreamPort)) {
        std::fprintf(stderr, "impair-relay: --listen and --upstream take address:port\n");
        return 2;
    }
    ImpairSettings settings;
    if (!ImpairSettings::parse(parser.value(impairOption), settings)) {
        std::fprintf(stderr, "impair-relay: bad --impair settings\n");
        return 2;
    }
    const bool bothWays = parser.isSet(bothOption);

    ImpairRelay relay;
    relay.setSeed(parser.value(seedOption).toUInt());
    relay.setSettings(ImpairRelay::ToClient, settings);
    if (bothWays)
        relay.setSettings(ImpairRelay::ToUpstream, settings);
    if (!relay.start(listenAddress, listenPort, upstreamAddress, upstreamPort)) {
        std::fprintf(stderr, "impair-relay: cannot bind\n");
        return 1;
    }

    QFile log;
    QElapsedTimer sinceLast;
    sinceLast.start();
    if (parser.isSet(logOption)) {
        log.setFileName(parser.value(logOption));
        if (!log.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            std::fprintf(stderr, "impair-relay: cannot write the log\n");
            return 1;
        }
    }
    QObject::connect(&relay, &ImpairRelay::arrived, &app,
        [&](ImpairRelay::Direction direction, qint64 ns, const QByteArray& datagram) {
            sinceLast.restart();
            if (log.isOpen()) {
                log.write(QByteArray::number(ns)
                    + (direction == ImpairRelay::ToClient ? QByteArrayLiteral(" down ")
                                                          : QByteArrayLiteral(" up "))
                    + datagram.toHex() + '\n');
            }
        });

    const int lifetimeMs = qBound(1, parser.value(lifetimeOption).toInt(), 86400) * 1000;
    QTimer::singleShot(lifetimeMs, &app, &QCoreApplication::quit);
    const int idleMs = qMax(0, parser.value(idleOption).toInt()) * 1000;
    QTimer idleCheck;
    if (idleMs > 0) {
        QObject::connect(&idleCheck, &QTimer::timeout, &app, [&] {
            if (sinceLast.elapsed() > idleMs)
                app.quit();
        });
        idleCheck.start(500);
    }

    // Commands, one per line; the end of the input ends the relay, so a
    // parent that dies takes it along.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[512];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            app.quit();
            return;
        }
        pending.append(buffer, int(n));
        int newline;
        while ((newline = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(newline)).trimmed();
            pending.remove(0, newline + 1);
            if (line == QLatin1String("quit")) {
                app.quit();
            } else if (line.startsWith(QLatin1String("set"))) {
                ImpairSettings changed = relay.settings(ImpairRelay::ToClient);
                if (ImpairSettings::parse(line.mid(3), changed)) {
                    relay.setSettings(ImpairRelay::ToClient, changed);
                    if (bothWays)
                        relay.setSettings(ImpairRelay::ToUpstream, changed);
                    std::printf("impair-relay: %s\n", qPrintable(changed.toString()));
                } else {
                    std::printf("impair-relay: bad settings: %s\n", qPrintable(line));
                }
                std::fflush(stdout);
            }
        }
    });

    std::printf("impair-relay: listening on %s:%u\n", qPrintable(listenAddress.toString()),
        unsigned(relay.listenPort()));
    std::fflush(stdout);
    const int status = app.exec();
    printCounters(relay);
    return status;
}
