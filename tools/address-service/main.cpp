// address-service: the address-publishing stand-in for a local demonstration.
//   address-service [-l<address>:<port>]   (default 127.0.0.1:8480)
//   address-service --help | --version

#include "addressservice.h"
#include "mabstractsocket.h"

#include <QCoreApplication>
#include <QTextStream>

namespace {

const char kUsage[] = "usage: address-service [-l<address>:<port>]\n"
                      "Answers GET /ip.php?set (records the caller's address) and GET /ip.php\n"
                      "(returns it) on <address>:<port>, default 127.0.0.1:8480.\n";

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QHostAddress address(QHostAddress::LocalHost);
    quint16 port = 8480;
    const QStringList arguments = app.arguments().mid(1);
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            QTextStream(stdout) << kUsage;
            return 0;
        }
        if (argument == QLatin1String("--version")) {
            QTextStream(stdout) << "address-service " << CLASSROOM_VERSION << '\n';
            return 0;
        }
        if (argument.startsWith(QLatin1String("-l"))) {
            if (!MAbstractSocket::parseAddressPort(argument.mid(2), address, port)) {
                QTextStream(stderr) << "address-service: cannot read " << argument << '\n';
                return 2;
            }
        } else {
            QTextStream(stderr) << kUsage;
            return 2;
        }
    }
    AddressService service;
    if (!service.listen(address, port)) {
        QTextStream(stderr) << "address-service: " << service.errorString() << '\n';
        return 1;
    }
    QTextStream out(stdout);
    out << "address-service listening on " << address.toString() << ':' << service.port() << '\n';
    out.flush();
    QObject::connect(
        &service, &AddressService::requestServed, &app, [&service](const QString& line) {
            QTextStream(stdout) << line << " -> " << service.recordedAddress() << Qt::endl;
        });
    return app.exec();
}
