#pragma once
// The port component's hand-off to the GUI thread over Qt's event loop, and
// the error display it hands a handler's failure to.

#include <functional>
#include <string>

#include "serial/ser_sync.h"

class QObject;
class QWidget;

namespace talmo {

// Shows a failure's message (the window's message box titled with the
// application title). Replaceable, so tests can collect the messages instead.
using TErrorDisplay = std::function<void(const std::string& message)>;

class TQtSync : public TSerSync {
 public:
  // `context` lives on the GUI thread; posted calls run in its event loop.
  TQtSync(QObject* context, TErrorDisplay display);
  void Post(std::shared_ptr<TSerSyncCall> call) override;
  void HandleException(std::exception_ptr e) noexcept override;

 private:
  QObject* FContext;
  TErrorDisplay FDisplay;
};

}  // namespace talmo
