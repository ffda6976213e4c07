#include "app/stats_command.h"

#include <cerrno>
#include <optional>

#include "app/cli_args.h"
#include "app/cli_output.h"
#include "app/decode_command.h"
#include "engine/modbus_stats.h"
#include "session/receive_session.h"

namespace talmo {

std::string StatsUsage() {
  return "usage: talmocli stats [--modbus rtu|ascii [--answer-timeout MS] [--gap MS|Nc]]\n"
         "                      [--json] FILE.pcapng\n"
         "The figures of a timed capture: for each port and direction the bytes and\n"
         "the line use (percent of what the line's settings carry from the first\n"
         "block to the last); with --modbus, the frames and noise bytes, and for each\n"
         "unit and function the requests, answers, exceptions, check failures and\n"
         "unanswered requests, the response times' minimum, median, 99th percentile\n"
         "and maximum, and a histogram of them. The frames are those\n"
         "'talmocli decode' shows with the same options.\n"
         "  --json  one JSON object instead of the text, for scripts and CI gates\n";
}

int RunStats(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  std::vector<std::string> decodeArgs;
  std::optional<std::string> file;
  bool json = false, modbus = false;
  try {
    TArgScanner s(args);
    while (s.Next()) {
      if (!s.IsOption()) {
        if (file)
          throw EUsageError("more than one FILE given ('" + *file + "', '" + s.Word() + "')");
        file = s.Word();
      } else if (s.Word() == "--json") {
        s.NoValue();
        json = true;
      } else if (s.Word() == "--modbus" || s.Word() == "--answer-timeout" || s.Word() == "--gap") {
        const std::string name = s.Word();
        decodeArgs.push_back(name);
        decodeArgs.push_back(s.Value());
        modbus = modbus || name == "--modbus";
      } else {
        s.Unknown();
      }
    }
    if (!file || *file == "-") throw EUsageError("a FILE (a timed capture) is needed");
    // The options are decode's: checked as decode checks them.
    TFramingRequest framing;
    TArgScanner check(decodeArgs);
    while (check.Next()) framing.Take(check);
    framing.Check();
  } catch (const EUsageError& e) {
    SayUsage(err, e.what(), StatsUsage());
    return kExitUsage;
  }
  // Without Modbus every direction is a side of its own.
  if (!modbus) decodeArgs.push_back("--both");
  decodeArgs.push_back(*file);

  TModbusStats stats(modbus);
  TDecodeHooks hooks;
  hooks.Side = [&stats](const std::string& port, bool sent, const std::string& description) {
    stats.AddSide(port + (sent ? " TX" : " RX"), CharacterNsOf(description).value_or(0));
  };
  hooks.Block = [&stats](std::size_t side, std::size_t bytes, std::int64_t ns) {
    stats.Block(static_cast<int>(side), bytes, ns);
  };
  hooks.Modbus = [&stats](const TModbusEvent& e) { stats.Event(e); };
  std::FILE* lines = std::fopen("/dev/null", "w");
  if (!lines) {
    SayOutputFailed(err, errno);
    return kExitFailure;
  }
  const int status = RunDecodeTimed(decodeArgs, lines, err, hooks);
  std::fclose(lines);
  if (status != kExitOk) return status;
  TLineOutput output(out);
  output.Text(json ? stats.Json() : stats.Text());
  output.Flush();
  if (output.Failed()) {
    SayOutputFailed(err, output.Error());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace talmo
