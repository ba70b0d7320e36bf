#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace vek {

// The program's own failures. Raised by the dispatcher and the photo
// operations, and turned into an error reply only by the dispatcher.
class HelperError : public std::exception {
 public:
  enum class Case { unknownCommand, bad, permissionDenied, assetNotFound, icloudOnly };

  static HelperError unknownCommand(std::string cmd);
  // `message` is the complete text of the reply's message.
  static HelperError bad(std::string message);
  static HelperError permissionDenied();
  static HelperError assetNotFound();
  static HelperError icloudOnly();

  Case kind() const { return case_; }
  const std::string& message() const { return message_; }
  // The code that the error reply carries.
  std::string_view wireCode() const;
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  HelperError(Case c, std::string message) : case_(c), message_(std::move(message)) {}

  Case case_;
  std::string message_;
};

}  // namespace vek
