#pragma once

#include <QChar>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// A program's command line as a table: one row per option letter with what
// the option expects after the letter, a one-line description and what it
// changes. Each program keeps its own table; this reads every table the same
// way. Plain functions; main thread, before the event loop.
namespace ProgramOptions {

// What follows the letter, in the same argument ("-t10.0.0.1:4060").
enum class Expects { Nothing, AddressPort, Text, Number };

struct Option
{
    // Lower case: "-T" selects the row of 't'.
    QChar letter;
    Expects expects;
    QString description;
    std::function<void(const QString& value)> apply;
};
using Table = QVector<Option>;

// Every argument in order, so a later one overrides an earlier one: an
// argument that does not start with "-" goes to bare (ignored without it);
// otherwise its first two characters, lower-cased, select a row and the rest
// is the value. Shorter arguments and unknown options are ignored.
void readCommandLine(const Table& table, const QStringList& arguments,
    const std::function<void(const QString& argument)>& bare = {});

// The row of letter, or null.
Option* find(Table& table, QChar letter);

} // namespace ProgramOptions
