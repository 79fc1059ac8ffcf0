#include "programoptions.h"

#include "servertrust.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace ProgramOptions {

namespace {

const QLatin1String kHelp("--help");
const QLatin1String kVersion("--version");

QString optionName(const Option& row)
{
    return QString(QLatin1Char('-')) + row.letter;
}

// The row an argument selects: its first two characters, lower-cased as a
// string, so that a letter whose lower case is longer selects nothing.
const Option* select(const Table& table, const QString& argument)
{
    const QString option = argument.left(2).toLower();
    for (const Option& row : table) {
        if (option == optionName(row))
            return &row;
    }
    return nullptr;
}

QString placeholder(const Option& row)
{
    switch (row.expects) {
    case Expects::Nothing:
        return QString();
    case Expects::AddressPort:
    case Expects::ListenAddressPort:
        return QStringLiteral("address:port");
    case Expects::HostPort:
        return QStringLiteral("host:port");
    case Expects::Text:
        return QStringLiteral("text");
    case Expects::Number:
        return QStringLiteral("number");
    case Expects::Choice:
        return row.choices.join(QLatin1Char('|'));
    case Expects::Fingerprint:
        return QStringLiteral("64 hex digits");
    case Expects::AddressList:
        return QStringLiteral("address,address...");
    }
    return QString();
}

QString example(const Option& row)
{
    switch (row.expects) {
    case Expects::AddressPort:
        return QStringLiteral("10.0.0.1:4060");
    case Expects::ListenAddressPort:
        return QStringLiteral("0.0.0.0:4060");
    case Expects::HostPort:
        return QStringLiteral("server.school.lan:4060");
    case Expects::Text:
        return QStringLiteral("Room 12");
    case Expects::Number:
        return QStringLiteral("100");
    case Expects::Choice:
        return row.choices.value(0);
    case Expects::Fingerprint:
        return QStringLiteral("3f5c") + QString(60, QLatin1Char('0'));
    case Expects::AddressList:
        return QStringLiteral("127.0.0.1,10.0.0.5");
    case Expects::Nothing:
        break;
    }
    return QString();
}

// " (expected -l<address:port>, as in -l0.0.0.0:4060)"
QString expected(const Option& row)
{
    return QStringLiteral(" (expected ") + optionName(row) + QLatin1Char('<') + placeholder(row)
        + QStringLiteral(">, as in ") + optionName(row) + example(row) + QLatin1Char(')');
}

bool isHostName(const QString& host)
{
    static const QRegularExpression name(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?(\\.[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-"
                       "z0-9])?)*\\.?$"));
    return name.match(host).hasMatch();
}

// Empty when text is an address (or, with names, a host name), optionally
// followed by ":" and a port; otherwise what is wrong with it.
QString addressProblem(const QString& text, Expects expects)
{
    const int colon = text.indexOf(QLatin1Char(':'));
    const QString host = text.left(colon).trimmed();
    if (host.isEmpty())
        return QStringLiteral("the address is missing");
    QHostAddress address;
    const bool isAddress = address.setAddress(host);
    if (!isAddress && (expects != Expects::HostPort || !isHostName(host)))
        return QLatin1Char('"') + host
            + QLatin1String(expects == Expects::HostPort
                    ? "\" is neither an address nor a host name"
                    : "\" is not an address");
    if (colon < 0)
        return QString();
    const QString portText = text.mid(colon + 1).trimmed();
    const uint lowest = expects == Expects::ListenAddressPort ? 0 : 1;
    bool ok = false;
    const uint port = portText.toUInt(&ok, 10);
    if (!ok || port < lowest || port > 65535) {
        const QString range = expects == Expects::ListenAddressPort
            ? QStringLiteral("0 (any free port) to 65535")
            : QStringLiteral("1 to 65535");
        return portText.isEmpty() ? QStringLiteral("the port is missing")
                                  : QStringLiteral("the port must be a number from ") + range;
    }
    return QString();
}

// Empty when every comma-separated item is an IPv4 address.
QString addressListProblem(const QString& text)
{
    for (const QString& item : text.split(QLatin1Char(','))) {
        const QString address = item.trimmed();
        if (address.isEmpty())
            return QStringLiteral("an address between the commas is missing");
        if (QHostAddress(address).protocol() != QAbstractSocket::IPv4Protocol)
            return QLatin1Char('"') + address + QLatin1String("\" is not an IPv4 address");
    }
    return QString();
}

} // namespace

void readCommandLine(const Table& table, const QStringList& arguments,
    const std::function<void(const QString& argument)>& bare)
{
    for (const QString& argument : arguments) {
        if (!argument.startsWith(QLatin1Char('-'))) {
            if (bare)
                bare(argument);
            continue;
        }
        if (argument.size() < 2)
            continue;
        if (const Option* row = select(table, argument))
            row->apply(argument.mid(2));
    }
}

Option* find(Table& table, QChar letter)
{
    for (Option& row : table) {
        if (row.letter == letter)
            return &row;
    }
    return nullptr;
}

QString valueProblem(const Option& row, const QString& value)
{
    const QString trimmed = value.trimmed();
    QString problem;
    switch (row.expects) {
    case Expects::Nothing:
        // Today's launchers may add text after a switch; it is ignored.
        return QString();
    case Expects::AddressPort:
    case Expects::ListenAddressPort:
    case Expects::HostPort:
        if (!trimmed.isEmpty())
            problem = addressProblem(trimmed, row.expects);
        break;
    case Expects::Text:
        break;
    case Expects::Number: {
        bool ok = false;
        trimmed.toInt(&ok, 10);
        if (!ok && !trimmed.isEmpty())
            problem = QLatin1Char('"') + trimmed + QLatin1String("\" is not a whole number");
        break;
    }
    case Expects::Choice:
        if (!trimmed.isEmpty() && !row.choices.contains(trimmed.toLower()))
            problem = QLatin1Char('"') + trimmed + QLatin1String("\" is not one of the choices");
        break;
    case Expects::Fingerprint:
        if (!trimmed.isEmpty() && ServerTrust::normalizedFingerprint(trimmed).isEmpty())
            problem = QStringLiteral("a fingerprint is 64 hex digits (SHA-256)");
        break;
    case Expects::AddressList:
        if (!trimmed.isEmpty())
            problem = addressListProblem(trimmed);
        break;
    }
    if (trimmed.isEmpty()) {
        return optionName(row)
            + QStringLiteral(": the value is missing; it follows the letter with no blank")
            + expected(row);
    }
    if (problem.isEmpty())
        return QString();
    return optionName(row) + value + QStringLiteral(": ") + problem + expected(row);
}

Check check(const Table& table, const QStringList& arguments)
{
    Check result;
    for (const QString& argument : arguments) {
        if (argument == kHelp) {
            result.help = true;
            continue;
        }
        if (argument == kVersion) {
            result.version = true;
            continue;
        }
        if (!argument.startsWith(QLatin1Char('-')) || argument.size() < 2)
            continue;
        const Option* row = select(table, argument);
        if (!row) {
            result.unknown << argument;
            continue;
        }
        const QString problem = valueProblem(*row, argument.mid(2));
        if (!problem.isEmpty())
            result.errors << problem;
    }
    return result;
}

QString helpText(
    const QString& program, const QString& bareArgument, const QString& summary, const Table& table)
{
    QStringList names;
    QStringList descriptions;
    for (const Option& row : table) {
        const QString value = placeholder(row);
        names << optionName(row)
                + (value.isEmpty() ? value : QLatin1Char('<') + value + QLatin1Char('>'));
        descriptions << row.description;
    }
    names << kHelp << kVersion;
    descriptions << QStringLiteral("show this help and exit")
                 << QStringLiteral("show the version and exit");
    int width = 0;
    for (const QString& name : qAsConst(names))
        width = qMax(width, name.size());

    QString text = QStringLiteral("Usage: ") + program + QStringLiteral(" [options]");
    if (!bareArgument.isEmpty())
        text += QStringLiteral(" [") + bareArgument + QLatin1Char(']');
    text += QLatin1Char('\n') + summary + QStringLiteral("\n\nOptions:\n");
    for (int i = 0; i < names.size(); ++i)
        text += QStringLiteral("  ") + names.at(i).leftJustified(width + 2) + descriptions.at(i)
            + QLatin1Char('\n');
    text += QStringLiteral(
        "\nA value follows its letter in the same argument, with no blank (-t10.0.0.1:4060).\n"
        "Letters are not case-sensitive; a later option overrides an earlier one.\n");
    return text;
}

} // namespace ProgramOptions
