#include "engine/hal/sim/SimAudioSystem.h"

#include <algorithm>
#include <array>

namespace mixelot::hal::sim {
namespace {

constexpr uint32_t kClassDevice = fourCC("adev");
constexpr uint32_t kClassStream = fourCC("astr");
constexpr uint32_t kClassProcess = fourCC("clnt");
constexpr uint32_t kClassTap = fourCC("tcls");
constexpr uint32_t kClassAggregate = fourCC("aagg");

constexpr uint32_t kDirectionOutput = 0;
constexpr uint32_t kDirectionInput = 1;

bool matches(const SimAudioSystem::Fault& fault, SimAudioSystem::Operation operation,
             ObjectID object, const PropertyAddress* address) {
  if (fault.operation != operation || fault.count == 0) return false;
  if (fault.object && *fault.object != object) return false;
  if (fault.selector || fault.scope || fault.element) {
    if (!address) return false;
    if (fault.selector && *fault.selector != address->selector) return false;
    if (fault.scope && *fault.scope != address->scope) return false;
    if (fault.element && *fault.element != address->element) return false;
  }
  return true;
}

}  // namespace

struct SimAudioSystem::Object {
  uint32_t objectClass = 0;
  std::map<PropertyAddress, PropertyValue> properties;
};

SimAudioSystem::SimAudioSystem(MainQueue& queue) : queue_(queue) {
  auto system = std::make_unique<Object>();
  system->objectClass = fourCC("asys");
  objects_.emplace(kSystemObject, std::move(system));
  std::lock_guard lock(mutex_);
  setPropertyLocked(kSystemObject, {selector::kDefaultOutputDevice}, uint32_t{kUnknownObject});
  rebuildSystemLists();
}

SimAudioSystem::~SimAudioSystem() = default;

ObjectID SimAudioSystem::newObject(uint32_t objectClass) {
  ObjectID id = nextObject_++;
  auto object = std::make_unique<Object>();
  object->objectClass = objectClass;
  objects_.emplace(id, std::move(object));
  return id;
}

void SimAudioSystem::setPropertyLocked(ObjectID object, const PropertyAddress& address,
                                       PropertyValue value) {
  auto it = objects_.find(object);
  if (it == objects_.end()) return;
  it->second->properties[address] = std::move(value);
}

void SimAudioSystem::rebuildSystemLists() {
  setPropertyLocked(kSystemObject, {selector::kDevices}, deviceOrder_);
  setPropertyLocked(kSystemObject, {selector::kProcessObjects}, processOrder_);
}

ObjectID SimAudioSystem::addDevice(const DeviceSpec& spec) {
  ObjectID device;
  {
    std::lock_guard lock(mutex_);
    device = newObject(kClassDevice);
    std::vector<ObjectID> all, outputs, inputs;
    // Input streams come first so that "the first output stream" is not always index 0.
    for (uint32_t i = 0; i < spec.inputStreams; ++i) {
      ObjectID stream = newObject(kClassStream);
      setPropertyLocked(stream, {selector::kStreamDirection}, kDirectionInput);
      inputs.push_back(stream);
      all.push_back(stream);
    }
    for (uint32_t i = 0; i < spec.outputStreams; ++i) {
      ObjectID stream = newObject(kClassStream);
      setPropertyLocked(stream, {selector::kStreamDirection}, kDirectionOutput);
      outputs.push_back(stream);
      all.push_back(stream);
    }
    setPropertyLocked(device, {selector::kName}, spec.name);
    setPropertyLocked(device, {selector::kDeviceUID}, spec.uid);
    setPropertyLocked(device, {selector::kTransportType}, spec.transport);
    setPropertyLocked(device, {selector::kStreams}, all);
    setPropertyLocked(device, {selector::kStreams, scope::kOutput}, outputs);
    setPropertyLocked(device, {selector::kStreams, scope::kInput}, inputs);
    setPropertyLocked(device, {selector::kDeviceIsAlive}, uint32_t{1});
    if (spec.canBeDefault)
      setPropertyLocked(device, {selector::kDeviceCanBeDefault, scope::kOutput},
                        *spec.canBeDefault);
    if (spec.virtualMainVolume)
      setPropertyLocked(device, {selector::kVirtualMainVolume, scope::kOutput},
                        *spec.virtualMainVolume);
    for (auto [element, volume] : spec.volumeScalars)
      setPropertyLocked(device, {selector::kVolumeScalar, scope::kOutput, element}, volume);
    if (spec.mute) setPropertyLocked(device, {selector::kMute, scope::kOutput}, *spec.mute);
    deviceOrder_.push_back(device);
    rebuildSystemLists();
  }
  notify(kSystemObject, {selector::kDevices});
  return device;
}

ObjectID SimAudioSystem::addProcess(int32_t pid, std::string bundleID, bool isRunningOutput) {
  ObjectID process;
  {
    std::lock_guard lock(mutex_);
    process = newObject(kClassProcess);
    setPropertyLocked(process, {selector::kProcessPID}, pid);
    setPropertyLocked(process, {selector::kProcessBundleID}, std::move(bundleID));
    setPropertyLocked(process, {selector::kProcessIsRunning}, uint32_t{1});
    setPropertyLocked(process, {selector::kProcessIsRunningOutput, scope::kOutput},
                      uint32_t{isRunningOutput ? 1u : 0u});
    processOrder_.push_back(process);
    rebuildSystemLists();
  }
  notify(kSystemObject, {selector::kProcessObjects});
  return process;
}

void SimAudioSystem::removeObject(ObjectID object) {
  bool wasDevice = false, wasProcess = false;
  {
    std::lock_guard lock(mutex_);
    objects_.erase(object);
    auto dropFrom = [object](std::vector<ObjectID>& list) {
      auto it = std::find(list.begin(), list.end(), object);
      if (it == list.end()) return false;
      list.erase(it);
      return true;
    };
    wasDevice = dropFrom(deviceOrder_);
    wasProcess = dropFrom(processOrder_);
    rebuildSystemLists();
  }
  if (wasDevice) notify(kSystemObject, {selector::kDevices});
  if (wasProcess) notify(kSystemObject, {selector::kProcessObjects});
}

void SimAudioSystem::setDefaultOutputDevice(ObjectID device) {
  setProperty(kSystemObject, {selector::kDefaultOutputDevice}, device);
}

void SimAudioSystem::setProperty(ObjectID object, const PropertyAddress& address,
                                 PropertyValue value) {
  {
    std::lock_guard lock(mutex_);
    setPropertyLocked(object, address, std::move(value));
  }
  notify(object, address);
}

void SimAudioSystem::removeProperty(ObjectID object, const PropertyAddress& address) {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(object);
  if (it != objects_.end()) it->second->properties.erase(address);
}

std::optional<PropertyValue> SimAudioSystem::property(ObjectID object,
                                                      const PropertyAddress& address) const {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(object);
  if (it == objects_.end()) return std::nullopt;
  auto property = it->second->properties.find(address);
  if (property == it->second->properties.end()) return std::nullopt;
  return property->second;
}

void SimAudioSystem::setAggregatesAlive(bool alive) {
  std::lock_guard lock(mutex_);
  aggregatesAlive_ = alive;
}

void SimAudioSystem::setSupportsProcessTaps(bool supported) {
  std::lock_guard lock(mutex_);
  supportsTaps_ = supported;
}

void SimAudioSystem::setStreamDirection(ObjectID stream, uint32_t direction) {
  setProperty(stream, {selector::kStreamDirection}, direction);
}

void SimAudioSystem::addFault(Fault fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(fault);
}

void SimAudioSystem::clearFaults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

std::vector<SimAudioSystem::Event> SimAudioSystem::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

void SimAudioSystem::clearEvents() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

std::optional<TapDescription> SimAudioSystem::tapDescription(ObjectID tap) const {
  std::lock_guard lock(mutex_);
  auto it = taps_.find(tap);
  if (it == taps_.end()) return std::nullopt;
  return it->second;
}

std::optional<AggregateDescription> SimAudioSystem::aggregateDescription(ObjectID device) const {
  std::lock_guard lock(mutex_);
  auto it = aggregates_.find(device);
  if (it == aggregates_.end()) return std::nullopt;
  return it->second;
}

std::vector<ObjectID> SimAudioSystem::liveTaps() const {
  std::lock_guard lock(mutex_);
  std::vector<ObjectID> ids;
  for (const auto& [id, description] : taps_) ids.push_back(id);
  return ids;
}

std::vector<ObjectID> SimAudioSystem::liveAggregates() const {
  std::lock_guard lock(mutex_);
  std::vector<ObjectID> ids;
  for (const auto& [id, description] : aggregates_) ids.push_back(id);
  return ids;
}

size_t SimAudioSystem::listenerCount() const {
  std::lock_guard lock(mutex_);
  return listeners_.size();
}

size_t SimAudioSystem::runningIOProcCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<size_t>(std::count_if(ioProcs_.begin(), ioProcs_.end(),
                                           [](const auto& entry) { return entry.second.running; }));
}

int SimAudioSystem::runIOCycle(ObjectID device, std::span<const AudioBuffer> input,
                               std::span<AudioBuffer> output) {
  // Held for the whole cycle so that deviceStop can wait for a running cycle to end.
  std::lock_guard cycle(cycleMutex_);
  // A fixed array rather than a vector: a cycle stands for the real-time callback, and tests check
  // that nothing in it touches the heap.
  std::array<std::shared_ptr<IOBlock>, kMaxBlocksPerCycle> blocks;
  size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    for (auto& [id, proc] : ioProcs_)
      if (proc.device == device && proc.running && count < blocks.size())
        blocks[count++] = proc.block;
  }
  for (size_t i = 0; i < count; ++i) (*blocks[i])(input, output);
  return static_cast<int>(count);
}

// ---- AudioHardware ---------------------------------------------------------------------------

Status SimAudioSystem::fault(Operation operation, ObjectID object, const PropertyAddress* address) {
  for (auto& candidate : faults_) {
    if (!matches(candidate, operation, object, address)) continue;
    if (candidate.count > 0) --candidate.count;
    return candidate.status;
  }
  return kNoError;
}

void SimAudioSystem::record(const char* operation, ObjectID object) {
  events_.push_back({operation, object});
}

void SimAudioSystem::notify(ObjectID object, const PropertyAddress& address) {
  std::vector<ListenerID> ids;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, listener] : listeners_)
      if (listener.object == object && listener.address == address) ids.push_back(id);
  }
  std::weak_ptr<int> alive = lifetime_;
  for (ListenerID id : ids) {
    queue_.post([this, alive, id, address] {
      if (alive.expired()) return;
      std::shared_ptr<PropertyListener> callback;
      {
        std::lock_guard lock(mutex_);
        // The listener may have been removed while this delivery was queued.
        auto it = listeners_.find(id);
        if (it == listeners_.end()) return;
        callback = it->second.callback;
      }
      PropertyAddress changed[] = {address};
      (*callback)(changed);
    });
  }
}

bool SimAudioSystem::supportsProcessTaps() const {
  std::lock_guard lock(mutex_);
  return supportsTaps_;
}

bool SimAudioSystem::hasProperty(ObjectID object, const PropertyAddress& address) {
  std::lock_guard lock(mutex_);
  if (fault(Operation::kHasProperty, object, &address) != kNoError) return false;
  auto it = objects_.find(object);
  return it != objects_.end() && it->second->properties.count(address) > 0;
}

Status SimAudioSystem::getPropertyDataSize(ObjectID object, const PropertyAddress& address,
                                           uint32_t& outSize) {
  std::lock_guard lock(mutex_);
  if (Status s = fault(Operation::kGetPropertyDataSize, object, &address)) return s;
  auto it = objects_.find(object);
  if (it == objects_.end()) return status::kBadObject;
  auto property = it->second->properties.find(address);
  if (property == it->second->properties.end()) return status::kUnknownProperty;
  outSize = propertyDataSize(property->second);
  return kNoError;
}

Status SimAudioSystem::getPropertyData(ObjectID object, const PropertyAddress& address,
                                       PropertyValue& outValue) {
  std::lock_guard lock(mutex_);
  if (Status s = fault(Operation::kGetPropertyData, object, &address)) return s;
  auto it = objects_.find(object);
  if (it == objects_.end()) return status::kBadObject;
  auto property = it->second->properties.find(address);
  if (property == it->second->properties.end()) return status::kUnknownProperty;
  outValue = property->second;
  return kNoError;
}

Status SimAudioSystem::setPropertyData(ObjectID object, const PropertyAddress& address,
                                       const PropertyValue& value) {
  {
    std::lock_guard lock(mutex_);
    if (Status s = fault(Operation::kSetPropertyData, object, &address)) return s;
    auto it = objects_.find(object);
    if (it == objects_.end()) return status::kBadObject;
    auto property = it->second->properties.find(address);
    if (property == it->second->properties.end()) return status::kUnknownProperty;
    if (property->second.index() != value.index()) return status::kBadPropertySize;
    property->second = value;
    // A tap's process list is also what its recorded description says.
    if (address.selector == selector::kTapDescription)
      if (auto tap = taps_.find(object); tap != taps_.end())
        tap->second.processes = std::get<std::vector<ObjectID>>(value);
    events_.push_back({"set " + fourCCString(address.selector) + "/" + fourCCString(address.scope) +
                           "/" + std::to_string(address.element),
                       object});
  }
  notify(object, address);
  return kNoError;
}

Status SimAudioSystem::addPropertyListener(ObjectID object, const PropertyAddress& address,
                                           PropertyListener listener, ListenerID& outID) {
  std::lock_guard lock(mutex_);
  if (Status s = fault(Operation::kAddListener, object, &address)) return s;
  if (!objects_.count(object)) return status::kBadObject;
  outID = nextListener_++;
  listeners_.emplace(
      outID, Listener{object, address, std::make_shared<PropertyListener>(std::move(listener))});
  return kNoError;
}

Status SimAudioSystem::removePropertyListener(ObjectID object, const PropertyAddress& address,
                                              ListenerID id) {
  std::lock_guard lock(mutex_);
  if (Status s = fault(Operation::kRemoveListener, object, &address)) return s;
  auto it = listeners_.find(id);
  if (it == listeners_.end() || it->second.object != object || !(it->second.address == address))
    return status::kIllegalOperation;
  listeners_.erase(it);
  return kNoError;
}

Status SimAudioSystem::createProcessTap(const TapDescription& description, ObjectID& outTap) {
  std::lock_guard lock(mutex_);
  if (Status s = fault(Operation::kCreateProcessTap, kUnknownObject, nullptr)) {
    record("createProcessTap failed", kUnknownObject);
    return s;
  }
  if (!supportsTaps_) return status::kUnsupportedOperation;
  outTap = newObject(kClassTap);
  setPropertyLocked(outTap, {selector::kTapDescription}, description.processes);
  taps_.emplace(outTap, description);
  record("createProcessTap", outTap);
  return kNoError;
}

Status SimAudioSystem::destroyProcessTap(ObjectID tap) {
  std::lock_guard lock(mutex_);
  record("destroyProcessTap", tap);
  if (Status s = fault(Operation::kDestroyProcessTap, tap, nullptr)) return s;
  if (!taps_.erase(tap)) return status::kBadObject;
  objects_.erase(tap);
  return kNoError;
}

Status SimAudioSystem::createAggregateDevice(const AggregateDescription& description,
                                             ObjectID& outDevice) {
  {
    std::lock_guard lock(mutex_);
    if (Status s = fault(Operation::kCreateAggregateDevice, kUnknownObject, nullptr)) {
      record("createAggregateDevice failed", kUnknownObject);
      return s;
    }
    outDevice = newObject(kClassAggregate);
    setPropertyLocked(outDevice, {selector::kName}, description.name);
    setPropertyLocked(outDevice, {selector::kDeviceUID}, description.uid);
    setPropertyLocked(outDevice, {selector::kTransportType}, transport::kAggregate);
    setPropertyLocked(outDevice, {selector::kDeviceIsAlive}, uint32_t{aggregatesAlive_ ? 1u : 0u});
    setPropertyLocked(outDevice, {selector::kStreams, scope::kOutput}, std::vector<ObjectID>{});
    aggregates_.emplace(outDevice, description);
    deviceOrder_.push_back(outDevice);
    rebuildSystemLists();
    record("createAggregateDevice", outDevice);
  }
  notify(kSystemObject, {selector::kDevices});
  return kNoError;
}

Status SimAudioSystem::destroyAggregateDevice(ObjectID device) {
  {
    std::lock_guard lock(mutex_);
    record("destroyAggregateDevice", device);
    if (Status s = fault(Operation::kDestroyAggregateDevice, device, nullptr)) return s;
    if (!aggregates_.erase(device)) return status::kBadObject;
    objects_.erase(device);
    deviceOrder_.erase(std::remove(deviceOrder_.begin(), deviceOrder_.end(), device),
                       deviceOrder_.end());
    std::erase_if(ioProcs_, [device](const auto& entry) { return entry.second.device == device; });
    rebuildSystemLists();
  }
  notify(kSystemObject, {selector::kDevices});
  return kNoError;
}

Status SimAudioSystem::createIOProc(ObjectID device, std::string_view /*queueLabel*/, IOBlock block,
                                    std::optional<IOProcID>& outID) {
  std::lock_guard lock(mutex_);
  if (Status s = fault(Operation::kCreateIOProc, device, nullptr)) {
    record("createIOProc failed", device);
    return s;
  }
  if (!objects_.count(device)) return status::kBadDevice;
  IOProcID id = nextIOProc_++;
  ioProcs_.emplace(id, IOProc{device, std::make_shared<IOBlock>(std::move(block)), false});
  outID = id;
  record("createIOProc", device);
  return kNoError;
}

SimAudioSystem::IOProc* SimAudioSystem::findIOProc(ObjectID device, IOProcID id) {
  auto it = ioProcs_.find(id);
  return it == ioProcs_.end() || it->second.device != device ? nullptr : &it->second;
}

const SimAudioSystem::IOProc* SimAudioSystem::findIOProc(ObjectID device, IOProcID id) const {
  return const_cast<SimAudioSystem*>(this)->findIOProc(device, id);
}

Status SimAudioSystem::destroyIOProc(ObjectID device, IOProcID id) {
  std::lock_guard lock(mutex_);
  record("destroyIOProc", device);
  if (Status s = fault(Operation::kDestroyIOProc, device, nullptr)) return s;
  if (!findIOProc(device, id)) return status::kBadObject;
  ioProcs_.erase(id);
  return kNoError;
}

Status SimAudioSystem::deviceStart(ObjectID device, IOProcID id) {
  std::lock_guard lock(mutex_);
  record("deviceStart", device);
  if (Status s = fault(Operation::kDeviceStart, device, nullptr)) return s;
  IOProc* proc = findIOProc(device, id);
  if (!proc) return status::kBadObject;
  proc->running = true;
  return kNoError;
}

Status SimAudioSystem::deviceStop(ObjectID device, IOProcID id) {
  {
    std::lock_guard lock(mutex_);
    record("deviceStop", device);
    if (Status s = fault(Operation::kDeviceStop, device, nullptr)) return s;
    IOProc* proc = findIOProc(device, id);
    if (!proc) return status::kBadObject;
    proc->running = false;
  }
  // Wait for a cycle that is running right now to finish.
  std::lock_guard cycle(cycleMutex_);
  return kNoError;
}

}  // namespace mixelot::hal::sim
