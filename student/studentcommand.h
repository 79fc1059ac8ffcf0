#pragma once

#include "commandtable.h"

#include <QString>

// The student's command table: which of its handlers a command text goes to,
// and the argument it gets. The first matching rule wins; prefix rules need
// the whole keyword at the start, case-sensitively, and the rest is the
// argument; "STARTVOICE", "STOPVOICE" and "CLASSFINISHED" must match
// exactly. A plain rule that the window and the tests both call.
namespace StudentCommand {

enum Kind {
    Ping,
    ProtocolVersion,
    IdentifyResult,
    UdpRequest,
    YourUdpIpPort,
    DoYouCopy,
    Connected,
    VoiceFormat,
    StartVoice,
    StopVoice,
    ClassFinished,
    AllowCall,
    Unknown
};

using Parsed = CommandTable::Match<Kind>;

Parsed parse(const QString& command);

} // namespace StudentCommand
