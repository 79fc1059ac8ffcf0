#pragma once

#include "commandtable.h"

#include <QString>

// podium's command table: which of the window's handlers a command text goes
// to, and the argument it gets. The first matching rule wins; prefix rules
// need the whole keyword at the start, case-sensitively, and the rest is the
// argument; "STARTVOICE" and "STOPVOICE" must match exactly. A plain rule
// that the window and the tests both call.
namespace AssistantCommand {

enum Kind {
    ProtocolVersion,
    IdentifyResult,
    UdpRequest,
    YourUdpIpPort,
    DoYouCopy,
    Connected,
    ClientList,
    XDataId,
    FileOffer,
    FileCancel,
    ClientCount,
    SpeakerCount,
    StartVoice,
    StopVoice,
    Unknown
};

using Parsed = CommandTable::Match<Kind>;

Parsed parse(const QString& command);

} // namespace AssistantCommand
