#pragma once
// The end of a desktop session (SIGTERM at logout, a service stop) and a
// hang-up (SIGHUP) as a close of the window, so that its settings are saved
// as at a close by the user.
//
// The signal handler only writes to an eventfd, which is all it may safely
// do; the GUI thread sees the write through a socket notifier and runs the
// callback there. One instance per process; the previous handlers come
// back when it goes.

#include <QObject>

#include <csignal>
#include <functional>

class QSocketNotifier;

namespace talmo {

class TQuitSignals : public QObject {
 public:
  // Needs the Qt application; `onSignal` runs on the GUI thread, once for
  // any number of signals that arrived together.
  explicit TQuitSignals(std::function<void()> onSignal, QObject* parent = nullptr);
  ~TQuitSignals() override;
  TQuitSignals(const TQuitSignals&) = delete;
  TQuitSignals& operator=(const TQuitSignals&) = delete;

  static constexpr int kSignals[] = {SIGTERM, SIGHUP};

 private:
  void Arrived();

  std::function<void()> FOnSignal;
  QSocketNotifier* FNotifier = nullptr;
  struct sigaction FOld[std::size(kSignals)]{};
};

}  // namespace talmo
