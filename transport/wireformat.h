#pragma once

#include "wiretext.h"

// Framing constants shared by every packet socket.
namespace WireFormat {

inline constexpr QLatin1String kCommandTag = wireText("COMD");
inline constexpr QLatin1String kTextTag = wireText("TEXT");
inline constexpr QLatin1String kVoiceTag = wireText("VOIC");
inline constexpr QLatin1String kExtraDataTag = wireText("XDTA");
// Raw bytes a student relays from its local companion program. Receivers that
// only know the four tags above see it as unrecognised data.
inline constexpr QLatin1String kPassThroughTag = wireText("PDTA");

inline constexpr int kTagSize = 4;
inline constexpr int kNumberSize = 4;
// A TCP frame carries its own 4-byte length and the 4-byte tag.
inline constexpr int kTcpHeaderSize = kNumberSize + kTagSize;
inline constexpr int kMinTcpFrameLength = kTcpHeaderSize;
// The largest legitimate frame is a 128 KiB file chunk plus headers; 16 MiB
// leaves room for any future payload while a hostile length field cannot make
// a receiver buffer gigabytes.
inline constexpr quint32 kMaxTcpFrameLength = 16u * 1024u * 1024u;

// A voice packet starts with its 4-byte sequence number; an extra-data frame
// (a file chunk) with the transfer's number and the chunk's offset.
inline constexpr int kVoiceHeaderSize = kNumberSize;
inline constexpr int kExtraDataHeaderSize = 2 * kNumberSize;

// The classroom server's TCP and UDP port, and the port on which the teacher
// console serves students, when nothing else is configured.
inline constexpr quint16 kDefaultServerPort = 4060;
inline constexpr quint16 kDefaultStudentPort = 2030;

} // namespace WireFormat
