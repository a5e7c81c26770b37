#include "engine/hal/AudioHardware.h"

namespace mixelot::hal {

std::string fourCCString(uint32_t code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i)
    text[static_cast<size_t>(i)] = static_cast<char>((code >> (24 - 8 * i)) & 0xff);
  return text;
}

uint32_t propertyDataSize(const PropertyValue& value) {
  struct Visitor {
    uint32_t operator()(std::monostate) const { return 0; }
    uint32_t operator()(uint32_t) const { return 4; }
    uint32_t operator()(int32_t) const { return 4; }
    uint32_t operator()(float) const { return 4; }
    uint32_t operator()(const std::string&) const { return sizeof(void*); }
    uint32_t operator()(const std::vector<ObjectID>& list) const {
      return static_cast<uint32_t>(list.size() * sizeof(ObjectID));
    }
  };
  return std::visit(Visitor{}, value);
}

TapDescription TapDescription::forDeviceStream(std::vector<ObjectID> processes,
                                               std::string deviceUID, uint32_t stream) {
  TapDescription description;
  description.processes = std::move(processes);
  description.deviceUID = std::move(deviceUID);
  description.stream = stream;
  return description;
}

TapDescription TapDescription::stereoMixdown(std::vector<ObjectID> processes) {
  TapDescription description;
  description.processes = std::move(processes);
  description.isStereoMixdown = true;
  return description;
}

}  // namespace mixelot::hal
