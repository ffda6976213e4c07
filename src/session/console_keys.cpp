#include "session/console_keys.h"

#include <cctype>

namespace talmo {
namespace {

constexpr std::uint8_t kCr = 0x0D, kLf = 0x0A, kEsc = 0x1B, kCtrlC = 0x03, kBs = 0x08, kDel = 0x7F;

const struct {
  char Letter;
  TConsoleAction Action;
  const char* Help;
} kCommands[] = {
    {'?', TConsoleAction::Help, "this help"},
    {'h', TConsoleAction::Help, "this help"},
    {'q', TConsoleAction::Quit, "quit"},
    {'b', TConsoleAction::Break, "send a break"},
    {'d', TConsoleAction::ToggleDtr, "DTR on/off"},
    {'r', TConsoleAction::ToggleRts, "RTS on/off"},
    {'p', TConsoleAction::PulseDtr, "pulse DTR (reset a board; --pulse MS long)"},
    {'l', TConsoleAction::ShowLines, "show the modem lines"},
    {'s', TConsoleAction::ShowState, "show the settings and the bytes counted both ways"},
    {'v', TConsoleAction::NextLook, "next look: text, names, hex"},
    {'t', TConsoleAction::NextStamp, "next stamp: none, time, utc, iso, gap, since"},
    {'c', TConsoleAction::Capture, "capture on/off"},
    {'e', TConsoleAction::Echo, "local echo on/off"},
    {'x', TConsoleAction::HexEdit, "send bytes given as hex pairs (Enter sends, Esc gives up)"},
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string KeyName(std::uint8_t key) {
  if (key < 0x20) return std::string("^") + static_cast<char>(key + 0x40);
  if (key == kDel) return "^?";
  return std::string(1, static_cast<char>(key));
}

bool ParseCommandKey(const std::string& text, std::uint8_t& key, bool& none) {
  none = text == "none";
  if (none) return true;
  std::string letter;
  if (text.size() == 2 && text[0] == '^')
    letter = text.substr(1);
  else if (text.size() == 6 && (text.rfind("ctrl-", 0) == 0 || text.rfind("Ctrl-", 0) == 0 ||
                                text.rfind("ctrl+", 0) == 0 || text.rfind("Ctrl+", 0) == 0))
    letter = text.substr(5);
  else if (text.size() == 1)
    letter = text;
  if (letter.size() != 1) return false;
  const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));
  if (c < '@' || c > '_') return false;
  key = static_cast<std::uint8_t>(c - 0x40);
  return key != 0;
}

bool ParseHexBytes(const std::string& text, std::string& bytes, std::string& problem) {
  bytes.clear();
  int high = -1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == ',' || c == '\t') {
      if (high >= 0) {
        problem = "'" + text + "': a hex pair is not whole at column " + std::to_string(i + 1);
        return false;
      }
      continue;
    }
    const int d = HexDigit(c);
    if (d < 0) {
      problem = "'" + text + "': '" + std::string(1, c) + "' at column " + std::to_string(i + 1) +
                " is no hex digit";
      return false;
    }
    if (high < 0) {
      high = d;
    } else {
      bytes += static_cast<char>(high * 16 + d);
      high = -1;
    }
  }
  if (high >= 0) {
    problem = "'" + text + "': the last hex pair is not whole";
    return false;
  }
  return true;
}

TConsoleKeys::TConsoleKeys(std::uint8_t commandKey, bool hasCommandKey, TEnterKey enter)
    : FCommandKey(commandKey), FHasCommandKey(hasCommandKey), FEnter(enter) {}

void TConsoleKeys::Send(std::vector<TConsoleKey>& out, const char* bytes, std::size_t n) {
  // A hex line sent stays an action of its own.
  if (out.empty() || out.back().Action != TConsoleAction::Send || out.back().Key == 'x')
    out.push_back({TConsoleAction::Send, {}, {}, 0});
  out.back().Bytes.append(bytes, n);
}

void TConsoleKeys::Feed(const std::uint8_t* typed, std::size_t n, std::vector<TConsoleKey>& out) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t b = typed[i];
    switch (FState) {
      case TState::Command: Command(b, out); break;
      case TState::Hex: HexKey(b, out); break;
      case TState::Typing:
        if (FHasCommandKey && b == FCommandKey) {
          FState = TState::Command;
        } else if (b == kCr) {
          static constexpr const char* kEnter[] = {"\r", "\n", "\r\n"};
          const char* e = kEnter[static_cast<int>(FEnter)];
          Send(out, e, FEnter == TEnterKey::CrLf ? 2 : 1);
        } else {
          Send(out, reinterpret_cast<const char*>(&b), 1);
        }
        break;
    }
  }
}

void TConsoleKeys::Command(std::uint8_t letter, std::vector<TConsoleKey>& out) {
  FState = TState::Typing;
  if (letter == FCommandKey) {
    Send(out, reinterpret_cast<const char*>(&letter), 1);
    return;
  }
  const char c = static_cast<char>(std::tolower(letter));
  for (const auto& command : kCommands) {
    if (command.Letter != c) continue;
    if (command.Action == TConsoleAction::HexEdit) {
      FState = TState::Hex;
      FHex.clear();
    }
    out.push_back({command.Action, {}, {}, c});
    return;
  }
  out.push_back({TConsoleAction::Unknown, {}, {}, static_cast<char>(letter)});
}

void TConsoleKeys::HexKey(std::uint8_t b, std::vector<TConsoleKey>& out) {
  if (b == kEsc || b == kCtrlC) {
    FState = TState::Typing;
    out.push_back({TConsoleAction::HexCancel, {}, {}, 0});
    return;
  }
  if (b == kCr || b == kLf) {
    FState = TState::Typing;
    std::string bytes, problem;
    if (!ParseHexBytes(FHex, bytes, problem))
      out.push_back({TConsoleAction::HexError, {}, problem, 0});
    else if (!bytes.empty())
      out.push_back({TConsoleAction::Send, bytes, {}, 'x'});
    return;
  }
  if (b == kBs || b == kDel) {
    if (!FHex.empty()) FHex.pop_back();
  } else if (b >= 0x20 && b < 0x7F) {
    FHex += static_cast<char>(b);
  } else {
    return;  // no place in a hex line
  }
  out.push_back({TConsoleAction::HexEdit, {}, FHex, 0});
}

std::string ConsoleKeysHelp(std::uint8_t commandKey) {
  const std::string key = KeyName(commandKey);
  std::string help = "command keys: " + key + " then\n";
  for (const auto& command : kCommands) {
    if (command.Letter == 'h') continue;
    help += "  ";
    help += command.Letter;
    help += "  ";
    help += command.Help;
    help += '\n';
  }
  help += "  " + key + "  send " + key + " itself\n";
  return help;
}

}  // namespace talmo
