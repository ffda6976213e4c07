#include "app/port_play.h"

#include <algorithm>

#include "device/device_driver.h"
#include "session/port_writer.h"
#include "transmitfile/script_player.h"

namespace talmo {

using namespace std::chrono;

void TStallWatch::Took() {
  FLast = steady_clock::now();
  FRefused = 0;
}

bool TStallWatch::Stalled() {
  const std::size_t waiting = Waiting();
  const auto now = steady_clock::now();
  if (waiting < FWaiting || (waiting == 0 && FRefused == 0)) FLast = now;
  FWaiting = waiting;
  return now - FLast >= FLimit;
}

std::size_t TStallWatch::Waiting() const {
  TSerComStat stat;
  std::uint32_t errors = 0;
  try {
    FPort.ReadStatus(errors, stat);
  } catch (const std::exception&) {
  }
  return FPort.WriteQueueCount() + stat.cbOutQue;
}

TWatchedWrite::TWatchedWrite(TSerCustomComm& port, TStallWatch& watch)
    : FWrite(PortWriter(port)), FWatch(watch) {}

void TWatchedWrite::operator()(const std::string& bytes) {
  try {
    FWrite(bytes);
  } catch (const EPartialWriteError& e) {
    FQueued = true;
    Refused(bytes.size() - e.Written, e.Cause);
    throw;
  } catch (...) {
    Refused(bytes.size(), std::current_exception());
    throw;
  }
  FQueued = true;
  FWatch.Took();
}

void TWatchedWrite::Refused(std::size_t bytes, const std::exception_ptr& cause) {
  FWatch.Refused(bytes);
  try {
    std::rethrow_exception(cause);
  } catch (const ESerQueueFullError&) {
    FQueueFull = true;
  } catch (...) {
    FQueueFull = false;
  }
}

TPlayPort::TPlayPort(const TPortRequest& line, long long stallSeconds, const std::string& path,
                     TLineOutput& out, std::FILE* err)
    : FStallSeconds(stallSeconds),
      FOut(out),
      FErr(err),
      FComm(std::make_shared<TSerDeviceDriver>([path](const std::string&) { return path; }), FSync),
      FSession(FComm, line.SessionDevice(path), FNoDisplay, Sink(), TReceiveSession::Clock::now,
               line.SessionOptions()),
      FWatch(FComm, seconds(stallSeconds)),
      FWrite(FComm, FWatch) {
  // The component's messages name the device by its path; the port name,
  // when one was given, leads the line.
  FComm.SetDeviceName(path);
  line.Apply(FComm);
  FSession.Attach();
  FComm.OnTxEmpty = [this](TSerCustomComm*) { FWrite.QueueEmptied(); };
}

TSessionSink TPlayPort::Sink() {
  TSessionSink sink;
  sink.ErrorLine = [this](const std::string& line) {
    // What came before the error is told before it.
    FOut.Flush();
    Say(FErr, line);
  };
  sink.Notice = [this](const std::string& text) { Say(FErr, text); };
  // --lines: in order with what play prints.
  sink.ModemLine = [this](const std::string& line) { FOut.Line("", line); };
  sink.Lost = [this] {
    FOut.Flush();
    FDeviceGone = true;
  };
  return sink;
}

bool TPlayPort::Open() { return OpenOrSay(FSession, FErr); }

void TPlayPort::Queue(std::string_view bytes) {
  FPending.append(bytes);
  Push();
}

void TPlayPort::Push() {
  if (FPending.empty()) return;
  try {
    FWrite(FPending);
    FPending.clear();
  } catch (const EPartialWriteError& e) {
    // What went is never sent again; the rest goes first next time.
    FPending.erase(0, e.Written);
    if (!FWrite.QueueFull()) std::rethrow_exception(e.Cause);
  } catch (const ESerQueueFullError&) {
  }
}

void TPlayPort::Wait(milliseconds timeout) { FSync.WaitAndProcess(timeout); }

void TPlayPort::ProcessPending() {
  FSync.ProcessPending();
  if (const std::string failure = FSync.TakeFailure(); !failure.empty()) {
    FOut.Flush();
    Say(FErr, failure);
  }
}

void TPlayPort::SayStalled() {
  FOut.Flush();
  Say(FErr, Title() + ": the port has taken nothing for " + std::to_string(FStallSeconds) + " s; " +
                std::to_string(FWatch.Owed()) + " bytes had not gone out");
}

void TPlayPort::SayGone() {
  FOut.Flush();  // what was played before the loss comes first
  SayDeviceGone(FErr, Title());
}

bool TPlayPort::Trouble() {
  if (FDeviceGone) {
    SayGone();
    return true;
  }
  if (FWatch.Stalled()) {
    SayStalled();
    return true;
  }
  return false;
}

// What was queued goes out before the port closes, however long that takes
// while the port takes bytes; a port that stops taking them ends the wait
// and is told.
int TPlayPort::Drain() {
  while (FComm.Active() && !FDeviceGone) {
    Push();
    if (FWatch.Stalled()) {
      SayStalled();
      return kExitFailure;
    }
    if (FPending.empty() && !FWrite.Queued() && FWatch.Owed() == 0) break;
    FSync.WaitAndProcess(milliseconds(FPending.empty() ? 10 : 1));
  }
  if (FDeviceGone) {
    SayGone();
    return kExitFailure;
  }
  return kExitOk;
}

int TPlayPort::Finish(int status) {
  try {
    FComm.Close();
  } catch (const std::exception& e) {
    Say(FErr, e.what());
    status = kExitFailure;
  }
  FOut.Flush();
  if (FOut.Failed()) {
    SayOutputFailed(FErr, FOut.Error());
    status = kExitFailure;
  }
  return status;
}

}  // namespace talmo
