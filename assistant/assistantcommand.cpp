#include "assistantcommand.h"

#include "sessioncommands.h"

namespace AssistantCommand {

namespace {

// In the order the rules are tried. No keyword is the start of a later one,
// except where the earlier rule must win ("NCLIENTS" is not the start of
// "NSPEAKINGCLIENTS", "FILEX" not of "CANCELFILEX").
constexpr CommandTable::Rule<Kind> kRules[] = {
    { SessionCommand::kProtocolVer, ProtocolVersion, false },
    { SessionCommand::kIdentifyReply, IdentifyResult, false },
    { SessionCommand::kUdpRequest, UdpRequest, false },
    { SessionCommand::kYourUdpIpPort, YourUdpIpPort, false },
    { SessionCommand::kDoYouCopy, DoYouCopy, false },
    { SessionCommand::kConnected, Connected, false },
    { SessionCommand::kClientList, ClientList, false },
    { SessionCommand::kXDataId, XDataId, false },
    { SessionCommand::kFileX, FileOffer, false },
    { SessionCommand::kCancelFileX, FileCancel, false },
    { SessionCommand::kNClients, ClientCount, false },
    { SessionCommand::kNSpeakingClients, SpeakerCount, false },
    { SessionCommand::kStartVoice, StartVoice, true },
    { SessionCommand::kStopVoice, StopVoice, true },
};

} // namespace

Parsed parse(const QString& command)
{
    return CommandTable::match(kRules, command, Unknown);
}

} // namespace AssistantCommand
