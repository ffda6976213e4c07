#include "base/error_text.h"

#include <cstring>

namespace talmo {

namespace {

// strerror_r comes in two forms; either gives the text in or beside `buf`.
[[maybe_unused]] const char* ErrorTextOf(int result, const char* buf) {
  return result == 0 ? buf : "Unknown error";
}
[[maybe_unused]] const char* ErrorTextOf(const char* result, const char*) { return result; }

}  // namespace

// Not generic_category().message(): that may take the text from strerror,
// whose buffer other threads may share.
std::string SysErrorText(int code) {
  char buf[256] = {};
  return ErrorTextOf(::strerror_r(code, buf, sizeof buf), buf);
}

std::string ExceptionMessage(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
    return "Unknown error";
  }
}

std::string ErrorHintOf(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const EHintedError& ex) {
    return ex.Hint();
  } catch (...) {
    return {};
  }
}

}  // namespace talmo
