#include "app/cli_output.h"

#include <cerrno>

#include "base/error_text.h"

namespace talmo {

void Say(std::FILE* err, const std::string& text) {
  std::fprintf(err, "talmocli: %s\n", text.c_str());
}

void SayUsage(std::FILE* err, const std::string& problem, const std::string& usage) {
  std::fprintf(err, "talmocli: %s\n%s", problem.c_str(), usage.c_str());
}

void SayCannotRead(std::FILE* err, const std::string& path, int code) {
  Say(err, "cannot read '" + path + "': " + SysErrorText(code));
}

void SayOutputFailed(std::FILE* err, int code) {
  Say(err, "cannot write output: " + SysErrorText(code));
}

std::string HexPairs(std::string_view bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (i) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

void TLineOutput::Line(std::string_view lead, std::string_view line) {
  if (FError) return;
  if (FGather) {
    FGathered.append(lead);
    FGathered.append(line);
    FGathered.push_back('\n');
    if (FGathered.size() >= kGatherSize) Spill();
    return;
  }
  Put(lead);
  Put(line);
  Put("\n");
}

void TLineOutput::Text(std::string_view text) {
  if (FError) return;
  if (FGather) {
    FGathered.append(text);
    if (FGathered.size() >= kGatherSize) Spill();
    return;
  }
  Put(text);
}

void TLineOutput::Put(std::string_view text) {
  if (FError || text.empty()) return;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), FOut) != text.size()) FError = errno ? errno : EIO;
}

void TLineOutput::Spill() {
  if (FGathered.empty()) return;
  Put(FGathered);
  FGathered.clear();
}

void TLineOutput::Flush() {
  Spill();
  Note(std::fflush(FOut));
}

void TLineOutput::Note(int result) {
  if (FError == 0 && (result < 0 || std::ferror(FOut))) FError = errno ? errno : EIO;
}

bool TLineOutput::FailedToTell() const { return FError != 0 && FError != EPIPE; }

}  // namespace talmo
