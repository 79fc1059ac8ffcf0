#pragma once

#include <QLatin1String>

// The session command vocabulary: every keyword that crosses the wire inside a
// command frame. Keywords are matched case-sensitively from the first character;
// an argument follows the keyword without a separator.
namespace SessionCommand {

// Session establishment
inline constexpr QLatin1String kGetProtocol { "GETPROTOCOL" };
inline constexpr QLatin1String kProtocolVer { "PROTOCOLVER" };
inline constexpr QLatin1String kProtocolVersion { "1" };
inline constexpr QLatin1String kIdentify { "IDENTIFY" };
inline constexpr QLatin1String kIdentifyReply { "IDENTIFY:" };
inline constexpr QLatin1String kIdentifyOk { "OK" };
inline constexpr QLatin1String kIdentifyFail { "FAIL" };
inline constexpr QLatin1String kUdpRequest { "UDPREQUEST" };
inline constexpr QLatin1String kUdpResponse { "UDPRESPONSE" };
inline constexpr QLatin1String kYourUdpIpPort { "YOURUDPI:P" };
inline constexpr QLatin1String kUdpIpPortBound { "UDPI:PBOUND" };
inline constexpr QLatin1String kDoYouCopy { "DOYOUCOPY?" };
inline constexpr QLatin1String kIDoCopy { "IDOCOPY" };
inline constexpr QLatin1String kConnected { "CONNECTED" };
inline constexpr QLatin1String kClientExit { "CLIENTEXIT" };

// Between ready clients and the server
inline constexpr QLatin1String kGetNClients { "GETNCLIENTS" };
inline constexpr QLatin1String kNClients { "NCLIENTS" };
inline constexpr QLatin1String kNSpeakingClients { "NSPEAKINGCLIENTS" };
inline constexpr QLatin1String kClientList { "CLLS" };
inline constexpr QLatin1String kForSpyStartVoice { "FORSPYSTARTVOICE" };
inline constexpr QLatin1String kForSpyStopVoice { "FORSPYSTOPVOICE" };
inline constexpr QLatin1String kGetUniqueXDataId { "GETUNIQUEXDATAID" };
inline constexpr QLatin1String kXDataId { "XDATAID" };
inline constexpr QLatin1String kCloseAllClients { "CLOSEALLCLIENTS" };

// Relayed unchanged by the server
inline constexpr QLatin1String kStartVoice { "STARTVOICE" };
inline constexpr QLatin1String kStopVoice { "STOPVOICE" };
inline constexpr QLatin1String kFileX { "FILEX" };
inline constexpr QLatin1String kCancelFileX { "CANCELFILEX" };
inline constexpr QLatin1String kCallTeacher { "CALLTEACHER" };

// Between the teacher console and students
inline constexpr QLatin1String kPing { "PING" };
inline constexpr QLatin1String kPong { "PONG" };
inline constexpr QLatin1String kVoiceFormat { "VFMT" };
inline constexpr QLatin1String kClassFinished { "CLASSFINISHED" };
inline constexpr QLatin1String kAllowCall { "ALLOWCALL" };

// Lists inside an argument are joined with "|", fields of an entry with "\".
inline constexpr QLatin1String kListSeparator { "|" };
inline constexpr QLatin1String kFieldSeparator { "\\" };

// Diagnostic for a command that matches no keyword of its receiver.
inline constexpr QLatin1String kUnknownCommand { "Unknown Command: " };

} // namespace SessionCommand
