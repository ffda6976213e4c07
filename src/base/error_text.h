#pragma once
// Error texts every unit may use: the system's text for an errno code, the
// message of any exception, and the hint an error may carry for the user.
//
// Error contract of src/base
// --------------------------
// Nothing here reports a failure: every function returns a text, also for
// an unknown code ("Unknown error ...") or an exception that is not a
// std::exception ("Unknown error"), and none of them throws. The texts are
// built here; who shows them to the user is the caller's business (the
// window's boxes and pane, talmocli's standard error).

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

namespace talmo {

// The system's text for an error code ("%s" of the port's messages).
// Thread-safe: never strerror's shared buffer.
std::string SysErrorText(int code);

// The message of an exception, for an error display ("Unknown error" for
// one that is not a std::exception).
std::string ExceptionMessage(std::exception_ptr e);

// An error whose message may come with a hint at what the user can do about
// it, shown after the message (never inside it).
class EHintedError : public std::runtime_error {
 public:
  explicit EHintedError(const std::string& message) : std::runtime_error(message) {}
  EHintedError(const std::string& message, const std::string& hint)
      : std::runtime_error(message),
        FHint(hint.empty() ? nullptr : std::make_shared<const std::string>(hint)) {}
  std::string Hint() const { return FHint ? *FHint : std::string(); }

 private:
  std::shared_ptr<const std::string> FHint;  // shared: copies cannot throw
};

// The hint of an EHintedError (the port's ESerCommError is one); "" for
// any other exception.
std::string ErrorHintOf(std::exception_ptr e);

}  // namespace talmo
