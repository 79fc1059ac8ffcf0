#pragma once

// What the assistant writes to its log about the system's audio devices.
namespace DAudioDevices {

// The default output and input devices' supported sample rates, channel
// counts, sample sizes, sample types, codecs and byte orders, one line each.
void logDefaults();

} // namespace DAudioDevices
