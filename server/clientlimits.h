#pragma once

#include <QtGlobal>

// What one client may cost the classroom server. Each bound sits far above
// what the programs themselves send, so only a broken or hostile client meets
// it; the line under each value says where it comes from.
namespace ClientLimits {

// A speaker sends 50 voice datagrams a second. Twice that absorbs a sender
// whose datagrams leave in bunches; the burst of 2 s lets a client whose
// capture stalled catch up. Excess voice is dropped, never answered with a
// disconnect: the sender's UDP end can be forged.
inline constexpr double kVoicePerSecond = 100;
inline constexpr double kVoiceBurst = 100;

// Handshake answers over UDP, from everybody together (their senders are not
// known yet, and a table per sender could itself be flooded). Each joining
// client answers twice; 2000 a second admits a class of 1000 in a second.
inline constexpr double kHandshakeAnswersPerSecond = 2000;
inline constexpr double kHandshakeAnswerBurst = 2000;

// TCP frames of every type from one client. A file goes out in 4096-byte
// chunks at up to 1 MiB/s (256 frames a second, 32 in one 125 ms tick); chat
// and commands are typed or clicked by a person. 1000 a second with a burst
// of 1000 is four times the fastest transfer.
inline constexpr double kFramesPerSecond = 1000;
inline constexpr double kFrameBurst = 1000;

// TCP bytes from one client: four times the file transfer's 1 MiB/s, with a
// burst of 2 s of that.
inline constexpr double kBytesPerSecond = 4.0 * 1024 * 1024;
inline constexpr double kByteBurst = 8.0 * 1024 * 1024;

// A client whose dropped TCP traffic in one second exceeds this many times
// the sustained rate is not a busy user: its connection is closed.
inline constexpr double kDisconnectFactor = 10;

// Unsent bytes the server keeps for one client before dropping it as too
// slow: 32 file chunks (4 s of a transfer) or some 60 client lists of a
// 1000-client class. The kernel's own send buffer comes on top.
inline constexpr qint64 kMaxUnsentBytes = 4 * 1024 * 1024;

// Changes of the class within this window reach the clients as one client
// list. A person does not see 100 ms in a list; 500 clients arriving within
// a second cost some 10 lists instead of 500.
inline constexpr int kClientListWindowMs = 100;

// Diagnostics about one kind of dropped traffic: at most one line a second.
inline constexpr int kDropLogIntervalMs = 1000;

// Bytes of a relayed payload that go into the log; the rest only by its size.
inline constexpr int kLoggedPayloadBytes = 64;

} // namespace ClientLimits
