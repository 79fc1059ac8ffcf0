#include "studentcommand.h"

#include "sessioncommands.h"

namespace StudentCommand {

namespace {

// In the order the rules are tried.
constexpr CommandTable::Rule<Kind> kRules[] = {
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
    return CommandTable::match(kRules, command, Unknown);
}

} // namespace StudentCommand
