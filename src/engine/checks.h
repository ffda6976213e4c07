#pragma once
// The block checks of serial protocols, over a run of bytes: the XOR and
// the sum of the bytes (a BCC), Modbus RTU's CRC-16 and Modbus ASCII's LRC.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace talmo {

std::uint8_t BccXor(std::string_view bytes);
// The low 8 bits of the sum.
std::uint8_t BccSum(std::string_view bytes);
// Polynomial 0xA001 (reflected 0x8005), start 0xFFFF; sent low byte first.
std::uint16_t Crc16Modbus(std::string_view bytes);
// The two's complement of the 8-bit sum.
std::uint8_t Lrc(std::string_view bytes);

}  // namespace talmo
