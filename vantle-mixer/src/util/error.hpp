// One error type for the whole mixer: a message with a chain of context texts,
// outermost first, so a failure reads from "what we were doing" down to "why".
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantle {

class Error : public std::exception {
 public:
  explicit Error(std::string message) : chain_{std::move(message)} { rebuild(); }

  // Wraps this error in an outer context ("reading /x" over "permission denied").
  Error& context(std::string outer) {
    chain_.insert(chain_.begin(), std::move(outer));
    rebuild();
    return *this;
  }

  // Outermost context first, root cause last.
  const std::vector<std::string>& chain() const noexcept { return chain_; }
  const std::string& outermost() const noexcept { return chain_.front(); }

  // The whole chain on one line, joined by ": ".
  const std::string& joined() const noexcept { return joined_; }
  const char* what() const noexcept override { return joined_.c_str(); }

 private:
  void rebuild();

  std::vector<std::string> chain_;
  std::string joined_;
};

// Runs `body`; any error escaping it gets `outer` as its outermost context. Other
// exceptions are turned into an `Error` with their message as the cause.
template <class Body>
auto with_context(std::string_view outer, Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (Error& e) {
    e.context(std::string(outer));
    throw;
  } catch (const std::exception& e) {
    throw Error(e.what()).context(std::string(outer));
  }
}

// The system's text for an errno value: "Connection refused (os error 111)".
std::string os_error_text(int err);

// The report printed when start-up fails: "Error: " with the outermost context, then
// "Caused by:" and the inner causes, numbered when there is more than one.
std::string fatal_report(const Error& error);

}  // namespace vantle
