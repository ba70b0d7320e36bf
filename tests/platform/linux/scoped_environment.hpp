#pragma once

#include <stdlib.h>

#include <ctime>
#include <optional>
#include <string>

namespace vek::testing {

// Sets an environment variable (or unsets it, for nullptr) until the end of
// the scope; the time zone follows TZ.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnvironment() { set(old_ ? old_->c_str() : nullptr); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  void set(const char* value) {
    value ? setenv(name_, value, 1) : unsetenv(name_);
    tzset();
  }
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace vek::testing
