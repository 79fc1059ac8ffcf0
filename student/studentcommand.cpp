#include "studentcommand.h"

#include "sessioncommands.h"

namespace StudentCommand {

namespace {

// After the client rules, in the order they are tried.
constexpr CommandTable::Rule<Kind> kRules[] = {
    { SessionCommand::kPing, Ping, false },
    { SessionCommand::kVoiceFormat, VoiceFormat, false },
    { SessionCommand::kClassFinished, ClassFinished, true },
    { SessionCommand::kAllowCall, AllowCall, false },
};

} // namespace

Parsed parse(const QString& command)
{
    return CommandTable::matchClient(kRules, command);
}

} // namespace StudentCommand
