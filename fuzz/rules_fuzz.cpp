// Random text as a rules file of `talmocli respond`, and random frames
// through what parses. Checked on every input: nothing crashes or hangs,
// a mistake is told as NAME:LINE:COLUMN, an answer is only given by a rule
// that exists, and a rule that matches a frame matches it again the same
// way (its answer depends on nothing but the frame).

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "session/respond_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  // The rules, then after a NUL the frames, one per line.
  const std::size_t split = all.find('\0');
  const std::string_view text = all.substr(0, split);
  const std::string_view frames = split == std::string_view::npos ? "" : all.substr(split + 1);
  talmo::TRespondRules rules;
  try {
    rules = talmo::TRespondRules::Parse(text, "f");
  } catch (const talmo::ERulesError& e) {
    Check(std::string(e.what()).rfind("f:", 0) == 0);
    return 0;
  }
  talmo::TRespondRules again = rules;
  std::size_t from = 0;
  while (from <= frames.size()) {
    std::size_t nl = frames.find('\n', from);
    if (nl == std::string_view::npos) nl = frames.size();
    const std::string_view frame = frames.substr(from, nl - from);
    from = nl + 1;
    const auto a = rules.Answer(frame);
    const auto b = again.Answer(frame);
    Check(a.has_value() == b.has_value());
    if (!a) continue;
    Check(a->Rule < rules.Size() && a->Rule == b->Rule && a->Answer == b->Answer);
  }
  return 0;
}
