// Bounds of one message between a kernel and its master, compiled into both
// modules: the master drops what exceeds them, and the kernel program reads
// them from panticle so that it never sends such a message.
#pragma once

namespace tv {

// relvane's MAX_MESSAGE_SIZE as the module starts; the master buffers at most
// kReassemblyFactor times it of one client's chunked pieces, so that many
// characters of JSON text is the largest message a kernel can send.
constexpr long long kMaxMessageSizeSetting = 1048576;
constexpr long long kReassemblyFactor = 32;
constexpr long long kMaxMessageCharacters = kReassemblyFactor * kMaxMessageSizeSetting;

// Nesting levels of arrays and objects in one frame that the master parses
// whatever its own stack holds (the interpreter allows 1000 in all); the
// kernel program keeps every frame within it.
constexpr int kMaxFrameDepth = 512;

}  // namespace tv
