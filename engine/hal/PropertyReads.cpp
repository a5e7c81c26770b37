#include "engine/hal/PropertyReads.h"

namespace mixelot::hal {
namespace {

template <typename T>
std::optional<T> readAs(AudioHardware& hardware, ObjectID object, const PropertyAddress& address) {
  PropertyValue value;
  if (hardware.getPropertyData(object, address, value) != kNoError) return std::nullopt;
  if (auto* typed = std::get_if<T>(&value)) return *typed;
  return std::nullopt;
}

}  // namespace

std::optional<uint32_t> readUInt32(AudioHardware& hardware, ObjectID object,
                                   const PropertyAddress& address) {
  PropertyValue value;
  if (hardware.getPropertyData(object, address, value) != kNoError) return std::nullopt;
  if (auto* u = std::get_if<uint32_t>(&value)) return *u;
  // A 32-bit integer is the same four bytes either way.
  if (auto* i = std::get_if<int32_t>(&value)) return static_cast<uint32_t>(*i);
  return std::nullopt;
}

std::optional<int32_t> readInt32(AudioHardware& hardware, ObjectID object,
                                 const PropertyAddress& address) {
  auto value = readUInt32(hardware, object, address);
  if (!value) return std::nullopt;
  return static_cast<int32_t>(*value);
}

std::optional<float> readFloat(AudioHardware& hardware, ObjectID object,
                               const PropertyAddress& address) {
  return readAs<float>(hardware, object, address);
}

std::optional<std::string> readString(AudioHardware& hardware, ObjectID object,
                                      const PropertyAddress& address) {
  return readAs<std::string>(hardware, object, address);
}

std::optional<std::vector<ObjectID>> readObjectList(AudioHardware& hardware, ObjectID object,
                                                    const PropertyAddress& address) {
  uint32_t size = 0;
  if (hardware.getPropertyDataSize(object, address, size) != kNoError) return std::nullopt;
  if (size == 0) return std::vector<ObjectID>{};
  return readAs<std::vector<ObjectID>>(hardware, object, address);
}

Status writeFloat(AudioHardware& hardware, ObjectID object, const PropertyAddress& address,
                  float value) {
  return hardware.setPropertyData(object, address, PropertyValue{value});
}

Status writeUInt32(AudioHardware& hardware, ObjectID object, const PropertyAddress& address,
                   uint32_t value) {
  return hardware.setPropertyData(object, address, PropertyValue{value});
}

}  // namespace mixelot::hal
