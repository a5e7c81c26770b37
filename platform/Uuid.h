#pragma once

#include <string>

namespace mixelot {

// A new random (version 4) UUID in the canonical upper-case 8-4-4-4-12 form.
std::string makeUuidString();

}  // namespace mixelot
