#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/hal/AudioHardware.h"
#include "platform/MainQueue.h"

namespace mixelot::hal::sim {

// An in-memory audio system for tests. The test builds the world (devices, process objects and
// their properties), can make any read or call fail, sees every create/destroy/start/stop in
// order, and pushes buffers through a running I/O procedure. Listeners fire through the main
// queue, as the real layer's do.
class SimAudioSystem final : public AudioHardware {
 public:
  enum class Operation {
    kHasProperty,
    kGetPropertyDataSize,
    kGetPropertyData,
    kSetPropertyData,
    kAddListener,
    kRemoveListener,
    kCreateProcessTap,
    kDestroyProcessTap,
    kCreateAggregateDevice,
    kDestroyAggregateDevice,
    kCreateIOProc,
    kDestroyIOProc,
    kDeviceStart,
    kDeviceStop,
  };

  // A fault matches an operation, optionally only on one object and/or one property selector
  // (and scope, element). `count` failures, then it is spent; -1 fails forever.
  struct Fault {
    Operation operation;
    std::optional<ObjectID> object;
    std::optional<uint32_t> selector;
    std::optional<uint32_t> scope;
    std::optional<uint32_t> element;
    Status status = status::kUnspecified;
    int count = -1;
  };

  struct DeviceSpec {
    std::string uid;
    std::string name;
    uint32_t transport = transport::kBuiltIn;
    uint32_t outputStreams = 1;  // 0 = an input-only device
    uint32_t inputStreams = 0;
    std::optional<uint32_t> canBeDefault = 1u;
    // Hardware volume: the virtual main volume and/or per-element scalars (element -> value).
    std::optional<float> virtualMainVolume;
    std::map<uint32_t, float> volumeScalars;
    std::optional<uint32_t> mute = 0u;
  };

  // One recorded create/destroy/start/stop, e.g. {"createProcessTap", 10}.
  struct Event {
    std::string operation;
    ObjectID object = kUnknownObject;
    friend bool operator==(const Event&, const Event&) = default;
  };

  explicit SimAudioSystem(MainQueue& queue);
  ~SimAudioSystem() override;

  // ---- building the world (main thread) --------------------------------------------------------
  ObjectID addDevice(const DeviceSpec& spec);
  ObjectID addProcess(int32_t pid, std::string bundleID, bool isRunningOutput = true);
  // Removes any object; also from the system object's device and process lists.
  void removeObject(ObjectID object);
  void setDefaultOutputDevice(ObjectID device);
  void setProperty(ObjectID object, const PropertyAddress& address, PropertyValue value);
  void removeProperty(ObjectID object, const PropertyAddress& address);
  std::optional<PropertyValue> property(ObjectID object, const PropertyAddress& address) const;
  // Whether aggregate devices report alive ('livn' = 1) once created.
  void setAggregatesAlive(bool alive);
  void setSupportsProcessTaps(bool supported);
  void setStreamDirection(ObjectID stream, uint32_t direction);

  // ---- fault injection ---------------------------------------------------------------------
  void addFault(Fault fault);
  void clearFaults();

  // ---- inspection --------------------------------------------------------------------------
  std::vector<Event> events() const;
  void clearEvents();
  // A tap's description as created, with the process list a set of its 'tdsc' wrote since.
  std::optional<TapDescription> tapDescription(ObjectID tap) const;
  std::optional<AggregateDescription> aggregateDescription(ObjectID device) const;
  std::vector<ObjectID> liveTaps() const;
  std::vector<ObjectID> liveAggregates() const;
  size_t listenerCount() const;
  size_t runningIOProcCount() const;

  // ---- I/O ---------------------------------------------------------------------------------
  static constexpr size_t kMaxBlocksPerCycle = 16;
  // Runs one cycle of every started I/O procedure of `device` (at most kMaxBlocksPerCycle) with the
  // given buffers, from any thread, without touching the heap. Returns how many blocks ran.
  int runIOCycle(ObjectID device, std::span<const AudioBuffer> input,
                 std::span<AudioBuffer> output);

  // ---- AudioHardware -------------------------------------------------------------------------
  bool supportsProcessTaps() const override;
  bool hasProperty(ObjectID object, const PropertyAddress& address) override;
  Status getPropertyDataSize(ObjectID object, const PropertyAddress& address,
                             uint32_t& outSize) override;
  Status getPropertyData(ObjectID object, const PropertyAddress& address,
                         PropertyValue& outValue) override;
  Status setPropertyData(ObjectID object, const PropertyAddress& address,
                         const PropertyValue& value) override;
  Status addPropertyListener(ObjectID object, const PropertyAddress& address,
                             PropertyListener listener, ListenerID& outID) override;
  Status removePropertyListener(ObjectID object, const PropertyAddress& address,
                                ListenerID id) override;
  Status createProcessTap(const TapDescription& description, ObjectID& outTap) override;
  Status destroyProcessTap(ObjectID tap) override;
  Status createAggregateDevice(const AggregateDescription& description,
                               ObjectID& outDevice) override;
  Status destroyAggregateDevice(ObjectID device) override;
  Status createIOProc(ObjectID device, std::string_view queueLabel, IOBlock block,
                      std::optional<IOProcID>& outID) override;
  Status destroyIOProc(ObjectID device, IOProcID id) override;
  Status deviceStart(ObjectID device, IOProcID id) override;
  Status deviceStop(ObjectID device, IOProcID id) override;

 private:
  struct Object;
  struct Listener {
    ObjectID object;
    PropertyAddress address;
    std::shared_ptr<PropertyListener> callback;
  };
  struct IOProc {
    ObjectID device;
    std::shared_ptr<IOBlock> block;
    bool running = false;
  };

  ObjectID newObject(uint32_t objectClass);
  Status fault(Operation operation, ObjectID object, const PropertyAddress* address);
  void record(const char* operation, ObjectID object);
  void notify(ObjectID object, const PropertyAddress& address);
  void setPropertyLocked(ObjectID object, const PropertyAddress& address, PropertyValue value);
  void rebuildSystemLists();
  // The I/O proc `id` if it belongs to `device`; the caller holds mutex_.
  IOProc* findIOProc(ObjectID device, IOProcID id);
  const IOProc* findIOProc(ObjectID device, IOProcID id) const;

  MainQueue& queue_;
  // Queued listener deliveries check this so that none runs after the system is gone.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
  mutable std::mutex mutex_;
  std::mutex cycleMutex_;
  std::map<ObjectID, std::unique_ptr<Object>> objects_;
  std::vector<ObjectID> deviceOrder_;
  std::vector<ObjectID> processOrder_;
  std::vector<Fault> faults_;
  std::vector<Event> events_;
  std::map<ListenerID, Listener> listeners_;
  std::map<IOProcID, IOProc> ioProcs_;
  std::map<ObjectID, TapDescription> taps_;
  std::map<ObjectID, AggregateDescription> aggregates_;
  ObjectID nextObject_ = 2;
  ListenerID nextListener_ = 1;
  IOProcID nextIOProc_ = 1;
  bool aggregatesAlive_ = true;
  bool supportsTaps_ = true;
};

}  // namespace mixelot::hal::sim
