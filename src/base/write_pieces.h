#pragma once
// Writing a block in pieces the port's write queue can take, and the error
// that says how much of it went before a piece was refused. Used by the
// script player and by every writer of a session.

#include <cstddef>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

namespace talmo {

// A write that failed after it had handed the first `Written` bytes on:
// those have gone (into the port's write queue) and must not go again.
class EPartialWriteError : public std::runtime_error {
 public:
  EPartialWriteError(const std::string& message, std::size_t written, std::exception_ptr cause)
      : std::runtime_error(message), Written(written), Cause(std::move(cause)) {}
  std::size_t Written;
  std::exception_ptr Cause;  // what the refused piece raised
};

// Hands `bytes` to `write` in pieces of at most `capacity` bytes: the port
// component refuses outright one write larger than its write queue, and a
// script line may describe more bytes than that. A piece refused after
// others went raises EPartialWriteError with what went; a refused first piece
// raises what `write` raised.
void WriteInPieces(const std::string& bytes, std::size_t capacity,
                   const std::function<void(const char* data, int count)>& write);

}  // namespace talmo
