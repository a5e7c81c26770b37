#pragma once

#include <string>

#include "platform/LoginItem.h"

namespace mixelot::testsupport {

class FakeLoginItem final : public LoginItem {
 public:
  Status current = Status::kNotRegistered;
  bool failChanges = false;
  int registers = 0;
  int unregisters = 0;

  Status status() override { return current; }
  bool registerItem(std::string& error) override {
    ++registers;
    if (failChanges) {
      error = "refused";
      return false;
    }
    current = Status::kEnabled;
    return true;
  }
  bool unregisterItem(std::string& error) override {
    ++unregisters;
    if (failChanges) {
      error = "refused";
      return false;
    }
    current = Status::kNotRegistered;
    return true;
  }
};

}  // namespace mixelot::testsupport
