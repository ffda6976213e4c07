#pragma once

namespace talmo {

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
};

}  // namespace talmo
