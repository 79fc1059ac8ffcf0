#pragma once

#include "sessioncommands.h"

#include <QLatin1String>
#include <QString>

#include <cstddef>

// A receiver's command table: its rules are tried in order and the first that
// matches wins. A prefix rule needs its whole keyword at the start of the
// text, case-sensitively, and gives the rest as the argument; an exact rule
// needs the whole text. Each receiver keeps its own kinds and the rules only
// it answers (StudentCommand, AssistantCommand); the rules every client
// answers alike are kept here once.
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

// The handshake's answers and voice on and off, which every client takes the
// same way. No keyword here is the start of a receiver's own keyword or the
// other way round, so trying these first changes no receiver's order.
template <typename Kind>
constexpr Rule<Kind> kClientRules[] = {
    { SessionCommand::kProtocolVer, Kind::ProtocolVersion, false },
    { SessionCommand::kIdentifyReply, Kind::IdentifyResult, false },
    { SessionCommand::kUdpRequest, Kind::UdpRequest, false },
    { SessionCommand::kYourUdpIpPort, Kind::YourUdpIpPort, false },
    { SessionCommand::kDoYouCopy, Kind::DoYouCopy, false },
    { SessionCommand::kConnected, Kind::Connected, false },
    { SessionCommand::kStartVoice, Kind::StartVoice, true },
    { SessionCommand::kStopVoice, Kind::StopVoice, true },
};

template <typename Kind, std::size_t N>
bool find(const Rule<Kind> (&rules)[N], const QString& command, Match<Kind>& found)
{
    for (const Rule<Kind>& rule : rules) {
        const bool matches = rule.exact ? command == rule.keyword
                                        : command.startsWith(rule.keyword, Qt::CaseSensitive);
        if (matches) {
            found = { rule.kind, command.mid(rule.keyword.size()), rule.keyword.size() };
            return true;
        }
    }
    return false;
}

// The client rules, then the receiver's own; Kind::Unknown when none matches.
template <typename Kind, std::size_t N>
Match<Kind> matchClient(const Rule<Kind> (&own)[N], const QString& command)
{
    Match<Kind> found { Kind::Unknown, QString(), 0 };
    if (!find(kClientRules<Kind>, command, found))
        find(own, command, found);
    return found;
}

} // namespace CommandTable
