#pragma once
// A Modbus RTU slave over a register map, for testing a master: it answers
// reads and writes of coils, discrete inputs, holding and input registers
// as a device does, with exception answers for an illegal function,
// address or value, and no answer to a broadcast (unit 0), to another
// unit, or to a frame whose CRC is wrong.
//
// The map is a text file, one range per line:
//   # comment
//   unit 1
//   coil 0-15 = 0
//   discrete 0 = 1
//   holding 100-109 = 0x2A
//   input 0 = 1234
// Ranges belong to the unit above them; a later line overrides an earlier
// one. Values are decimal or 0x hex, coils and discrete inputs 0 or 1,
// registers 0..65535. Writes change the map for the run; Text() writes it
// back in the same form.
//
// Errors: Parse raises EMapError, "NAME:LINE:COLUMN: what was expected".

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace talmo {

class EMapError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TModbusSlave {
 public:
  enum class TTable : std::uint8_t { Coil, Discrete, Holding, Input };

  static TModbusSlave Parse(std::string_view text, const std::string& name);

  // What the slave does with a received frame: the answer (empty: none)
  // and a note for the frame's line ("read holding 0+4", "exception 2:
  // illegal data address", "CRC bad", "broadcast", "not my unit").
  struct TResult {
    std::string Answer;
    std::string Note;
  };
  TResult Handle(std::string_view frame);

  // The map as it stands now, in the file's form.
  std::string Text() const;
  std::size_t Units() const { return FUnits.size(); }

 private:
  struct TUnit {
    std::map<std::uint16_t, std::uint16_t> Tables[4];
  };
  std::optional<std::string> Exception(std::uint8_t unit, std::uint8_t function, std::uint8_t code,
                                       std::string& note) const;

  std::map<std::uint8_t, TUnit> FUnits;
};

}  // namespace talmo
