#pragma once

#include <string>

namespace mixelot {

// The program's own login item: whether it starts with the user's session.
class LoginItem {
 public:
  enum class Status { kNotRegistered, kEnabled };

  virtual ~LoginItem() = default;
  virtual Status status() = 0;
  // Both return false (and describe the failure in `error`) when the change could not be made.
  virtual bool registerItem(std::string& error) = 0;
  virtual bool unregisterItem(std::string& error) = 0;
};

}  // namespace mixelot
