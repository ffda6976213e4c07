#pragma once
// Small text and number helpers shared by the receive engine, the keyboard
// transmit, the settings loader and the script player. Texts are 8-bit.

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/options.h"

namespace talmo {

// Names of the bytes 0x00..0x20, three characters each (two-letter names
// carry a trailing space that is part of the entry).
inline constexpr std::string_view kSignNames =
    "NULSOHSTXETXEOTENQACKBELBS HT LF VT FF CR SO SI DLEDC1DC2DC3DC4NAKSYNETB"
    "CANEM SUBESCFS GS RS US SP ";

// Appends the display form of byte b to text, reading Hex and Convert from
// opts at the moment of the call. Only characters 0x20..0x7E are appended.
void AppendSignText(std::string& text, std::uint8_t b, const TFormatOptions& opts);

// Display form of one byte in the three looks (Hex; Convert; neither), for
// callers that convert many bytes in one mode.
struct TSignLook {
  char text[7];  // at most 5 used; 8 bytes in all so a copy is one move
  std::uint8_t length;
};
// The 256 looks of one mode, indexed by byte value.
const TSignLook* SignLooks(bool hex, bool convert);

// Value of two characters read as hex digits, with the lenient mapping of the
// sign fields: a character below '0' counts as '0', other letters give values
// outside 0..15. Shorter texts read as padded with '0'. Callers keep the low
// 8 bits.
int HexPairToInt(std::string_view p);

// Value of the leading run of 1..9 decimal digits; 0 when there is none or
// the run reaches 10 digits.
int DecPrefixToInt(std::string_view p);

// Fixed-width digit writers; no terminator is written.
void PutDec2(char* dst, int v);
void PutDec3(char* dst, int v);
void PutDec4(char* dst, int v);
void PutHex2(char* dst, int v);

// Copies n bytes first to last; n <= 0 copies nothing.
void CopyBytes(void* dst, const void* src, int n);

// Reads a sign field (two places, a letter or digit in each, unfilled places
// read as blanks, letters upper-cased) into its sign value.
std::uint8_t SignFromField(std::string_view field);

// True when text is what a sign field can hold: one or two letters or digits.
bool IsSignFieldText(std::string_view text);

}  // namespace talmo
