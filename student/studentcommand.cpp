#include "studentcommand.h"

#include "sessioncommands.h"

namespace StudentCommand {

namespace {

struct Rule
{
    QLatin1String keyword;
    Kind kind;
    bool exact;
};

// In the order the rules are tried.
constexpr Rule kRules[] = {
    { SessionCommand::kPing, Ping, false },
    { SessionCommand::kProtocolVer, ProtocolVersion, false },
    { SessionCommand::kIdentifyReply, IdentifyResult, false },
    { SessionCommand::kUdpRequest, UdpRequest, false },
    { SessionCommand::kYourUdpIpPort, YourUdpIpPort, false },
    { SessionCommand::kDoYouCopy, DoYouCopy, false },
    { SessionCommand::kConnected, Connected, false },
    { SessionCommand::kVoiceFormat, VoiceFormat, false },
    { SessionCommand::kStartVoice, StartVoice, true },
    { SessionCommand::kStopVoice, StopVoice, true },
    { SessionCommand::kClassFinished, ClassFinished, true },
    { SessionCommand::kAllowCall, AllowCall, false },
};

} // namespace

Parsed parse(const QString& command)
{
    for (const Rule& rule : kRules) {
        const bool matches = rule.exact ? command == rule.keyword
                                        : command.startsWith(rule.keyword, Qt::CaseSensitive);
        if (matches)
            return { rule.kind, command.mid(rule.keyword.size()) };
    }
    return { Unknown, QString() };
}

} // namespace StudentCommand
