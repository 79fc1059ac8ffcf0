#pragma once

#include "wiretext.h"

// The session command vocabulary: every keyword that crosses the wire inside a
// command frame. Keywords are matched case-sensitively from the first character;
// an argument follows the keyword without a separator.
namespace SessionCommand {

// Session establishment
inline constexpr QLatin1String kGetProtocol = wireText("GETPROTOCOL");
inline constexpr QLatin1String kProtocolVer = wireText("PROTOCOLVER");
inline constexpr QLatin1String kProtocolVersion = wireText("1");
// In a secure class, inside TLS, right before "IDENTIFY": the staff or students' code.
inline constexpr QLatin1String kClassCode = wireText("CLASSCODE");
inline constexpr QLatin1String kIdentify = wireText("IDENTIFY");
inline constexpr QLatin1String kIdentifyReply = wireText("IDENTIFY:");
inline constexpr QLatin1String kIdentifyOk = wireText("OK");
inline constexpr QLatin1String kIdentifyFail = wireText("FAIL");
// In a secure class, right after "IDENTIFY:OK": 8 hex digits of key id, then 64 of the
// client's datagram key (SealedDatagram::udpKeyArgument); UDP starts only after it.
inline constexpr QLatin1String kUdpKey = wireText("UDPKEY");
inline constexpr QLatin1String kUdpRequest = wireText("UDPREQUEST");
inline constexpr QLatin1String kUdpResponse = wireText("UDPRESPONSE");
inline constexpr QLatin1String kYourUdpIpPort = wireText("YOURUDPI:P");
inline constexpr QLatin1String kUdpIpPortBound = wireText("UDPI:PBOUND");
inline constexpr QLatin1String kDoYouCopy = wireText("DOYOUCOPY?");
inline constexpr QLatin1String kIDoCopy = wireText("IDOCOPY");
inline constexpr QLatin1String kConnected = wireText("CONNECTED");
inline constexpr QLatin1String kClientExit = wireText("CLIENTEXIT");

// Between ready clients and the server
inline constexpr QLatin1String kGetNClients = wireText("GETNCLIENTS");
inline constexpr QLatin1String kNClients = wireText("NCLIENTS");
inline constexpr QLatin1String kNSpeakingClients = wireText("NSPEAKINGCLIENTS");
inline constexpr QLatin1String kClientList = wireText("CLLS");
inline constexpr QLatin1String kForSpyStartVoice = wireText("FORSPYSTARTVOICE");
inline constexpr QLatin1String kForSpyStopVoice = wireText("FORSPYSTOPVOICE");
inline constexpr QLatin1String kGetUniqueXDataId = wireText("GETUNIQUEXDATAID");
inline constexpr QLatin1String kXDataId = wireText("XDATAID");
inline constexpr QLatin1String kCloseAllClients = wireText("CLOSEALLCLIENTS");

// Relayed unchanged by the server
inline constexpr QLatin1String kStartVoice = wireText("STARTVOICE");
inline constexpr QLatin1String kStopVoice = wireText("STOPVOICE");
inline constexpr QLatin1String kFileX = wireText("FILEX");
inline constexpr QLatin1String kCancelFileX = wireText("CANCELFILEX");
inline constexpr QLatin1String kCallTeacher = wireText("CALLTEACHER");

// Between the teacher console and students
inline constexpr QLatin1String kPing = wireText("PING");
inline constexpr QLatin1String kPong = wireText("PONG");
inline constexpr QLatin1String kVoiceFormat = wireText("VFMT");
inline constexpr QLatin1String kClassFinished = wireText("CLASSFINISHED");
inline constexpr QLatin1String kAllowCall = wireText("ALLOWCALL");

// Fixed sender names of text packets that stand for a role, not a client.
inline constexpr QLatin1String kTeacherSender = wireText("|Teacher|");
inline constexpr QLatin1String kServerSender = wireText("|Server|");

// Lists inside an argument are joined with "|", fields of an entry with "\".
inline constexpr QLatin1String kListSeparator = wireText("|");
inline constexpr QLatin1String kFieldSeparator = wireText("\\");

// Diagnostic for a command that matches no keyword of its receiver.
inline constexpr QLatin1String kUnknownCommand = wireText("Unknown Command: ");

} // namespace SessionCommand
