#pragma once
// Finished display lines waiting for the pane, and the pump that moves them
// there a few per tick so the pane never holds up the receive path.
//
// GUI thread only. The pump lets the GUI process waiting events between
// lines; during that call new lines may be added, the list may be cleared,
// or another tick may run. None of this loses or repeats a line.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace talmo {

// What one pump tick needs of the window.
class TPumpView {
 public:
  virtual ~TPumpView() = default;
  virtual bool Paused() const = 0;
  // Caption and colour of the Pause box (red while paused).
  virtual void SetPauseCaption(const std::string& caption, bool red) = 0;
  virtual void AppendToPane(const std::string& line) = 0;
  // Lets the GUI handle its waiting events; may re-enter the pump.
  virtual void ProcessMessages() = 0;
};

class TPendingLines {
 public:
  static constexpr int LinesPerTick = 8;

  void Add(std::string line);
  // Empties the list; lines not yet in the pane are discarded.
  void Clear();

  // Lines in the list, including those already moved into the pane.
  std::size_t Count() const { return Base_ + Lines_.size(); }
  std::size_t PumpIndex() const { return PumpIndex_; }
  // Lines still waiting for the pane.
  std::size_t PendingCount() const;

  // One tick: caption, then (unless paused) up to eight lines to the pane.
  void Tick(TPumpView& view);

  static std::string PauseCaption(std::size_t pending);

 private:
  // Lines before PumpIndex have been moved out; the deque keeps only lines
  // from Base_ on, so a backlog that never fully drains still frees them.
  std::deque<std::string> Lines_;
  std::size_t Base_ = 0;
  std::size_t PumpIndex_ = 0;
};

}  // namespace talmo
