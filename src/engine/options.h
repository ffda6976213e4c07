#pragma once

#include <cstdint>

namespace talmo {

// How the block-check byte is checked: not at all (the form's way), or
// against the XOR or the sum (mod 256) of a span of the frame.
enum class TBccCheck : std::uint8_t { None, Xor, Sum };

// The option boxes that steer the receive formatter. The window keeps this
// record in step with its check boxes; the engine reads each field at the
// moment it needs it, so a change takes effect at once (Hex and Convert even
// for bytes collected but not yet shown).
struct TFormatOptions {
  bool Manch = false;   // Manchester decoding, per received byte
  bool Time = false;    // time stamp before each frame, at frame start
  bool Bcc = false;     // one block-check byte after the stop sign
  bool STXHL = false;   // length-counted protocol STX H L ...
  bool PROD2 = false;   // pause-framed, length-counted protocol
  bool Hex = false;     // show every byte as a hex pair
  bool Convert = true;  // show control signs by name
  // A frame's block-check byte checked and the verdict put after the line.
  // The span runs from the start sign (or the byte after it) to the stop
  // sign (or the byte before it); in STX_HL the byte before the check is
  // taken as the stop sign.
  TBccCheck BccCheck = TBccCheck::None;
  bool BccWithStart = false;
  bool BccWithStop = true;
};

}  // namespace talmo
