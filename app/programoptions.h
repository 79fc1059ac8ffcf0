#pragma once

#include <QChar>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// A program's command line as a table: one row per option letter with what
// the option expects after the letter, a one-line description and what it
// changes. Each program keeps its own table; this reads every table the same
// way, checks the values before anything starts and writes the help from the
// same rows. Plain functions; main thread, before the event loop.
namespace ProgramOptions {

// What follows the letter, in the same argument ("-t10.0.0.1:4060").
enum class Expects {
    Nothing,
    // An IPv4 address, optionally ":" and a port of 1 to 65535.
    AddressPort,
    // The same for a listener, where port 0 lets the system choose one.
    ListenAddressPort,
    // Like AddressPort, but the host may also be a host name.
    HostPort,
    // Any text that is not empty after trimming.
    Text,
    // A whole decimal number.
    Number,
    // One of the row's choices, in any case.
    Choice,
    // A certificate fingerprint: 64 hex digits in either case, colons allowed.
    Fingerprint,
    // IPv4 addresses separated by commas, without ports.
    AddressList,
};

struct Option
{
    // Lower case: "-T" selects the row of 't'.
    QChar letter;
    Expects expects;
    QString description;
    std::function<void(const QString& value)> apply;
    // Choice: the words the value may be, lower case.
    QStringList choices = {};
};
using Table = QVector<Option>;

// Every argument in order, so a later one overrides an earlier one: an
// argument that does not start with "-" goes to bare (ignored without it);
// otherwise its first two characters, lower-cased, select a row and the rest
// is the value. Shorter arguments and unknown options are ignored. Values are
// applied as they stand: check() first.
void readCommandLine(const Table& table, const QStringList& arguments,
    const std::function<void(const QString& argument)>& bare = {});

// The row of letter, or null.
Option* find(Table& table, QChar letter);

// What a look at the command line found, before any value is applied.
struct Check
{
    bool help = false; // "--help"
    bool version = false; // "--version"
    // One line per known option with a bad or missing value, saying what the
    // option expects.
    QStringList errors;
    // Arguments that start with "-" and select no row, as given.
    QStringList unknown;
};
Check check(const Table& table, const QStringList& arguments);

// Why value does not suit row, or empty when it does. The text names the
// option and what it expects ("-l0.0.0.0:99999: the port must be ...").
QString valueProblem(const Option& row, const QString& value);

// The help: a usage line, the summary, one line per row (the letter, what
// it expects, the description) and how values are written.
QString helpText(const QString& program, const QString& bareArgument, const QString& summary,
    const Table& table);

} // namespace ProgramOptions
