// teacher-console: a stand-in for the teacher console that runs a class of
// pupil students directly (see README.md).

#include "consolescript.h"
#include "mabstractsocket.h"
#include "teacherconsole.h"
#include "wavpcm.h"
#include "wireformat.h"

#include <cstdio>

#include <QCoreApplication>
#include <QStringList>

namespace {

void usage(std::FILE* stream)
{
    std::fprintf(stream,
        "usage: teacher-console [-lADDRESS:PORT] [-uUDPADDRESS] [-wFILE.wav] [--loop]\n"
        "                       [--refuse=NAME] [--version=V] [STEP...]\n"
        "       teacher-console --help | --version\n"
        "Serves pupil students on ADDRESS:PORT (default 127.0.0.1:%u, TCP and UDP).\n"
        "Steps run in order once the first student is admitted; more can be typed\n"
        "on standard input, one per line:\n"
        "  wait=MS  text=MESSAGE  play  stop  ping=TEXT  udpping=TEXT  vfmt\n"
        "  allowcall[=NAME]  xdata=TEXT  command=RAW  finish  drop  quit\n"
        "play streams FILE.wav (48000 Hz, stereo, 16-bit) as Opus voice.\n"
        "--version=V answers students with protocol version V (default 1).\n",
        unsigned(WireFormat::kDefaultStudentPort));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QHostAddress address(QHostAddress::LocalHost);
    quint16 port = WireFormat::kDefaultStudentPort;
    QHostAddress udpAddress;
    QString wavPath;
    bool loop = false;
    QStringList refused;
    QString version = QStringLiteral("1");
    QStringList steps;

    const QStringList arguments = QCoreApplication::arguments().mid(1);
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            usage(stdout);
            return 0;
        }
        // "--version=V" below sets the protocol version; alone it asks for ours.
        if (argument == QLatin1String("--version")) {
            std::printf("teacher-console %s\n", CLASSROOM_VERSION);
            return 0;
        }
        if (argument.startsWith(QLatin1String("-l"))) {
            if (!MAbstractSocket::parseAddressPort(argument.mid(2), address, port)) {
                usage(stderr);
                return 2;
            }
        } else if (argument.startsWith(QLatin1String("-u"))) {
            udpAddress = QHostAddress(argument.mid(2));
        } else if (argument.startsWith(QLatin1String("-w"))) {
            wavPath = argument.mid(2);
        } else if (argument == QLatin1String("--loop")) {
            loop = true;
        } else if (argument.startsWith(QLatin1String("--refuse="))) {
            refused << argument.section(QLatin1Char('='), 1);
        } else if (argument.startsWith(QLatin1String("--version="))) {
            version = argument.section(QLatin1Char('='), 1);
        } else if (ConsoleScript::isStep(argument)) {
            steps << argument;
        } else {
            usage(stderr);
            return 2;
        }
    }

    QByteArray pcm;
    if (!wavPath.isEmpty()) {
        QString error;
        pcm = WavPcm::read(wavPath, &error);
        if (pcm.isEmpty()) {
            std::fprintf(
                stderr, "teacher-console: %s: %s\n", qPrintable(wavPath), qPrintable(error));
            return 1;
        }
    }

    TeacherConsole console;
    console.setRefusedIdentities(refused);
    console.setProtocolVersion(version);
    if (!console.listen(address, port, udpAddress.isNull() ? address : udpAddress)) {
        std::fprintf(stderr, "teacher-console: cannot listen on %s\n",
            qPrintable(MAbstractSocket::addressText(address, port)));
        return 1;
    }
    std::printf("teacher-console: students connect to %s\n",
        qPrintable(MAbstractSocket::addressText(address, console.port())));
    std::fflush(stdout);

    ConsoleScript script(&console, pcm, loop, steps);
    script.readStandardInput();
    return QCoreApplication::exec();
}
