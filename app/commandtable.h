#pragma once

#include <QLatin1String>
#include <QString>

#include <cstddef>

// A receiver's command table: its rules are tried in order and the first that
// matches wins. A prefix rule needs its whole keyword at the start of the
// text, case-sensitively, and gives the rest as the argument; an exact rule
// needs the whole text. Each receiver keeps its own rules and kinds
// (StudentCommand, AssistantCommand); this is how every table is read.
namespace CommandTable {

template <typename Kind> struct Rule
{
    QLatin1String keyword;
    Kind kind;
    bool exact;
};

template <typename Kind> struct Match
{
    Kind kind;
    QString rest;
    // Bytes of the keyword: where the argument starts in the raw payload.
    int keywordSize = 0;
};

template <typename Kind, std::size_t N>
Match<Kind> match(const Rule<Kind> (&rules)[N], const QString& command, Kind unknown)
{
    for (const Rule<Kind>& rule : rules) {
        const bool matches = rule.exact ? command == rule.keyword
                                        : command.startsWith(rule.keyword, Qt::CaseSensitive);
        if (matches)
            return { rule.kind, command.mid(rule.keyword.size()), rule.keyword.size() };
    }
    return { unknown, QString(), 0 };
}

} // namespace CommandTable
