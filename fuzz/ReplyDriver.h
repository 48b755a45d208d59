#pragma once
// The reply harnesses' common body: a real TCorvaneOne on the scripted remote
// of ScriptedRemote.h runs up to four operations chosen by the input, and
// every operation's contract is checked after it returns. A consistency error
// (ECorvaneAssertion) is an allowed outcome; a broken contract aborts, which
// libFuzzer reports as a crash with the input that caused it.

#include <cstddef>
#include <cstdint>

enum class TReplySurface {
    Commands,  // version, decoded version, reset, registers, erase, reconnection
    Flash,     // ReadFlash, WriteFlash, EraseFlashSector
    Capture,   // IrCapture
};

int RunReplies(TReplySurface surface, const std::uint8_t* data, std::size_t size);
