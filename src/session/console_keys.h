#pragma once
// The keys of an interactive console: what is typed goes to the port as it
// is (Ctrl+C too), Enter mapped as asked; a command key, then one letter,
// asks the console for something instead (help, quit, break, the modem
// lines ...). The command key typed twice sends it once. After the hex
// letter the keys make a line of hex pairs, edited in place and sent whole
// at Enter.
//
// Pure: bytes in, actions out; the console does them. Single-threaded; no
// call fails (a bad hex line is an action that says what was wrong).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace talmo {

enum class TEnterKey : std::uint8_t { Cr, Lf, CrLf };

enum class TConsoleAction : std::uint8_t {
  Send,  // Bytes go to the port
  Help,
  Quit,
  Break,  // send a break
  ToggleDtr,
  ToggleRts,
  PulseDtr,
  ShowLines,  // the modem lines
  ShowState,  // settings and byte counts
  NextLook,
  NextStamp,
  Capture,    // capture on/off
  Echo,       // local echo on/off
  HexEdit,    // the hex line as typed so far is Text
  HexCancel,  // the hex line was given up
  HexError,   // Text says what is wrong with the hex line
  Unknown,    // Key is no command letter
};

struct TConsoleKey {
  TConsoleAction Action;
  std::string Bytes;  // Send: the bytes
  std::string Text;   // HexEdit: the line; HexError: the problem
  char Key = 0;       // Unknown: the letter typed; 'x' on the Send of a hex line
};

// "^T" for a command key byte; the byte itself when printable.
std::string KeyName(std::uint8_t key);
// Parses a command key as the user writes it: "^T", "ctrl-t", "t" (Ctrl+T
// all three), or "none"; false when it is none of those.
bool ParseCommandKey(const std::string& text, std::uint8_t& key, bool& none);
// Bytes written as hex pairs ("02 41 0d0A", spaces and commas between);
// false with `problem` set when a character is no hex digit or a pair is
// not whole.
bool ParseHexBytes(const std::string& text, std::string& bytes, std::string& problem);

class TConsoleKeys {
 public:
  // `hasCommandKey` false: every byte is sent.
  TConsoleKeys(std::uint8_t commandKey, bool hasCommandKey, TEnterKey enter);

  // The actions for typed bytes, in order (appended to `out`); bytes that
  // go to the port one after another make one Send.
  void Feed(const std::uint8_t* typed, std::size_t n, std::vector<TConsoleKey>& out);
  // A command letter or the hex line is awaited.
  bool Pending() const { return FState != TState::Typing; }

 private:
  enum class TState : std::uint8_t { Typing, Command, Hex };
  void Send(std::vector<TConsoleKey>& out, const char* bytes, std::size_t n);
  void Command(std::uint8_t letter, std::vector<TConsoleKey>& out);
  void HexKey(std::uint8_t b, std::vector<TConsoleKey>& out);

  std::uint8_t FCommandKey;
  bool FHasCommandKey;
  TEnterKey FEnter;
  TState FState = TState::Typing;
  std::string FHex;
};

// The command letters and what they do, for the help.
std::string ConsoleKeysHelp(std::uint8_t commandKey);

}  // namespace talmo
