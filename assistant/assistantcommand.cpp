#include "assistantcommand.h"

#include "sessioncommands.h"

namespace AssistantCommand {

namespace {

// After the client rules, in the order they are tried. No keyword is the
// start of a later one, except where the earlier rule must win ("NCLIENTS"
// is not the start of "NSPEAKINGCLIENTS", "FILEX" not of "CANCELFILEX").
constexpr CommandTable::Rule<Kind> kRules[] = {
    { SessionCommand::kClientList, ClientList, false },
    { SessionCommand::kXDataId, XDataId, false },
    { SessionCommand::kFileX, FileOffer, false },
    { SessionCommand::kCancelFileX, FileCancel, false },
    { SessionCommand::kNClients, ClientCount, false },
    { SessionCommand::kNSpeakingClients, SpeakerCount, false },
};

} // namespace

Parsed parse(const QString& command)
{
    return CommandTable::matchClient(kRules, command);
}

} // namespace AssistantCommand
