#include "programoptions.h"

namespace ProgramOptions {

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
        // The whole two-character prefix is lower-cased, as a string: a letter
        // whose lower case is longer than one character selects nothing.
        const QString option = argument.left(2).toLower();
        for (const Option& row : table) {
            if (option == QString(QLatin1Char('-')) + row.letter) {
                row.apply(argument.mid(2));
                break;
            }
        }
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

} // namespace ProgramOptions
