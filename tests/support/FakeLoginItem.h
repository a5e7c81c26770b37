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
    return change(Status::kEnabled, error);
  }
  bool unregisterItem(std::string& error) override {
    ++unregisters;
    return change(Status::kNotRegistered, error);
  }

 private:
  bool change(Status next, std::string& error) {
    if (failChanges) {
      error = "refused";
      return false;
    }
    current = next;
    return true;
  }
};

}  // namespace mixelot::testsupport
