#pragma once
// `talmocli decode`: runs a raw capture through the receive formatter and
// writes its display lines.

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/cli_args.h"
#include "engine/modbus.h"

namespace talmo {

// What a decode of a timed capture met, for a program that counts it
// (stats). Sides are each port's direction, numbered as they are first
// heard from, as their Modbus pairing sources are.
struct TDecodeHooks {
  // A side: its port's name, whether it holds the sent bytes, and the
  // port's recorded description ("/dev/ttyUSB0 9600 8N1").
  std::function<void(const std::string& port, bool sent, const std::string& description)> Side;
  // A block of a side's bytes and its time.
  std::function<void(std::size_t side, std::size_t bytes, std::int64_t ns)> Block;
  // Every Modbus frame, noise and unanswered request.
  std::function<void(const TModbusEvent&)> Modbus;
};

// args are the words after "decode". Reads FILE, or inputFd when FILE is
// absent or "-". Lines go to out, errors and usage to err.
int RunDecode(const std::vector<std::string>& args, int inputFd, std::FILE* out, std::FILE* err);
// The same with the hooks told; a raw capture is refused (it has no sides).
int RunDecodeTimed(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                   const TDecodeHooks& hooks);

std::string DecodeUsage();

}  // namespace talmo
