#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mixelot::hal {

// The audio hardware interface: an object/property audio model. Every audio object has a 32-bit
// ID (0 = none, 1 = the system object); properties are addressed by a selector, a scope and an
// element, each a four-character code; every call returns an integer status (0 = success) so that
// callers can take their documented fallback on any failure.

using ObjectID = uint32_t;
using Status = int32_t;

inline constexpr ObjectID kUnknownObject = 0;
inline constexpr ObjectID kSystemObject = 1;
inline constexpr Status kNoError = 0;

constexpr uint32_t fourCC(const char (&code)[5]) {
  return (static_cast<uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<uint32_t>(static_cast<unsigned char>(code[3]));
}

std::string fourCCString(uint32_t code);

namespace status {
inline constexpr Status kUnspecified = static_cast<Status>(fourCC("what"));
inline constexpr Status kUnknownProperty = static_cast<Status>(fourCC("who?"));
inline constexpr Status kBadPropertySize = static_cast<Status>(fourCC("!siz"));
inline constexpr Status kIllegalOperation = static_cast<Status>(fourCC("nope"));
inline constexpr Status kBadObject = static_cast<Status>(fourCC("!obj"));
inline constexpr Status kBadDevice = static_cast<Status>(fourCC("!dev"));
inline constexpr Status kUnsupportedOperation = static_cast<Status>(fourCC("unop"));
inline constexpr Status kNotRunning = static_cast<Status>(fourCC("stop"));
}  // namespace status

namespace selector {
inline constexpr uint32_t kDefaultOutputDevice = fourCC("dOut");
inline constexpr uint32_t kDevices = fourCC("dev#");
inline constexpr uint32_t kProcessObjects = fourCC("prs#");
inline constexpr uint32_t kProcessPID = fourCC("ppid");
inline constexpr uint32_t kProcessBundleID = fourCC("pbid");
inline constexpr uint32_t kProcessIsRunning = fourCC("prun");
inline constexpr uint32_t kProcessIsRunningOutput = fourCC("piro");
// The name a process gives itself (on PipeWire its application.name, else its program's file
// name): what a program without a desktop entry is listed under. Ours; absent where unknown.
inline constexpr uint32_t kProcessName = fourCC("pnam");
inline constexpr uint32_t kStreams = fourCC("stm#");
inline constexpr uint32_t kStreamDirection = fourCC("sdir");
inline constexpr uint32_t kDeviceCanBeDefault = fourCC("dflt");
inline constexpr uint32_t kName = fourCC("lnam");
inline constexpr uint32_t kDeviceUID = fourCC("uid ");
inline constexpr uint32_t kTransportType = fourCC("tran");
inline constexpr uint32_t kVirtualMainVolume = fourCC("vmvc");
inline constexpr uint32_t kVolumeScalar = fourCC("volm");
inline constexpr uint32_t kMute = fourCC("mute");
inline constexpr uint32_t kDeviceIsAlive = fourCC("livn");
// On a process tap, global scope: the process objects it taps (std::vector<ObjectID>). Settable,
// so that a tap follows an application that starts or ends processes without being rebuilt.
inline constexpr uint32_t kTapDescription = fourCC("tdsc");
}  // namespace selector

namespace scope {
inline constexpr uint32_t kGlobal = fourCC("glob");
inline constexpr uint32_t kOutput = fourCC("outp");
inline constexpr uint32_t kInput = fourCC("inpt");
}  // namespace scope

namespace transport {
inline constexpr uint32_t kAirPlay = fourCC("airp");
inline constexpr uint32_t kBluetooth = fourCC("blue");
inline constexpr uint32_t kBluetoothLE = fourCC("blea");
inline constexpr uint32_t kBuiltIn = fourCC("bltn");
inline constexpr uint32_t kDisplayPort = fourCC("dprt");
inline constexpr uint32_t kHDMI = fourCC("hdmi");
inline constexpr uint32_t kUSB = fourCC("usb ");
inline constexpr uint32_t kVirtual = fourCC("virt");
inline constexpr uint32_t kAggregate = fourCC("grup");
inline constexpr uint32_t kUnknown = 0;
}  // namespace transport

struct PropertyAddress {
  uint32_t selector = 0;
  uint32_t scope = scope::kGlobal;
  uint32_t element = 0;
  friend bool operator==(const PropertyAddress&, const PropertyAddress&) = default;
  friend auto operator<=>(const PropertyAddress&, const PropertyAddress&) = default;
};

// A property's value. 32-bit integers, floats, strings and object-ID lists are all the shapes the
// system reads or writes.
using PropertyValue =
    std::variant<std::monostate, uint32_t, int32_t, float, std::string, std::vector<ObjectID>>;

// Size in bytes a value reports through getPropertyDataSize: 4 for scalars, 4 per entry for lists,
// a reference's size for strings.
uint32_t propertyDataSize(const PropertyValue& value);

// ---- process taps
// --------------------------------------------------------------------------------

enum class TapMuteBehavior : int32_t {
  kUnmuted = 0,
  kMuted = 1,
  // The tapped processes are silent on their own device while the tap is read.
  kMutedWhenTapped = 2,
};

struct TapDescription {
  // Who the tap is for (the app's id). Taps of different names never share what they capture.
  std::string name;
  std::vector<ObjectID> processes;
  // A stereo mixdown of the processes, rather than one stream of one device.
  bool isStereoMixdown = false;
  std::string deviceUID;
  std::optional<uint32_t> stream;
  std::string uuid;
  TapMuteBehavior muteBehavior = TapMuteBehavior::kUnmuted;
  bool isPrivate = false;

  static TapDescription forDeviceStream(std::vector<ObjectID> processes, std::string deviceUID,
                                        uint32_t stream);
  static TapDescription stereoMixdown(std::vector<ObjectID> processes);
  friend bool operator==(const TapDescription&, const TapDescription&) = default;
};

// ---- aggregate devices
// ---------------------------------------------------------------------------

struct AggregateSubDevice {
  std::string uid;
  bool drift = false;
  friend bool operator==(const AggregateSubDevice&, const AggregateSubDevice&) = default;
};

struct AggregateTap {
  bool drift = false;
  std::string uid;
  friend bool operator==(const AggregateTap&, const AggregateTap&) = default;
};

// The nine entries an aggregate device is described by.
struct AggregateDescription {
  std::string name;
  std::string uid;
  std::string master;
  std::string clock;
  bool isPrivate = false;
  bool isStacked = false;
  bool tapAutoStart = false;
  std::vector<AggregateSubDevice> subdevices;
  std::vector<AggregateTap> taps;
  friend bool operator==(const AggregateDescription&, const AggregateDescription&) = default;
};

// ---- I/O ---------------------------------------------------------------------------------------

// One buffer of 32-bit float samples (interleaved when numberChannels > 1).
struct AudioBuffer {
  uint32_t numberChannels = 0;
  uint32_t dataByteSize = 0;
  void* data = nullptr;
};

using IOProcID = uint64_t;

// Runs on the backend's real-time thread, once per cycle: must not lock, allocate, log or wait.
using IOBlock =
    std::function<void(std::span<const AudioBuffer> input, std::span<AudioBuffer> output)>;

using ListenerID = uint64_t;
// Delivered on the main queue with the addresses that changed.
using PropertyListener = std::function<void(std::span<const PropertyAddress> addresses)>;

class AudioHardware {
 public:
  virtual ~AudioHardware() = default;

  // Whether this layer can tap processes at all (a platform without taps builds no chain).
  virtual bool supportsProcessTaps() const = 0;

  virtual bool hasProperty(ObjectID object, const PropertyAddress& address) = 0;
  virtual Status getPropertyDataSize(ObjectID object, const PropertyAddress& address,
                                     uint32_t& outSize) = 0;
  virtual Status getPropertyData(ObjectID object, const PropertyAddress& address,
                                 PropertyValue& outValue) = 0;
  virtual Status setPropertyData(ObjectID object, const PropertyAddress& address,
                                 const PropertyValue& value) = 0;

  // The listener runs on the main queue. Remove it with the ID this call returned.
  virtual Status addPropertyListener(ObjectID object, const PropertyAddress& address,
                                     PropertyListener listener, ListenerID& outID) = 0;
  virtual Status removePropertyListener(ObjectID object, const PropertyAddress& address,
                                        ListenerID id) = 0;

  virtual Status createProcessTap(const TapDescription& description, ObjectID& outTap) = 0;
  virtual Status destroyProcessTap(ObjectID tap) = 0;

  virtual Status createAggregateDevice(const AggregateDescription& description,
                                       ObjectID& outDevice) = 0;
  virtual Status destroyAggregateDevice(ObjectID device) = 0;

  // `queueLabel` names the real-time thread or queue the block runs on (for diagnostics).
  virtual Status createIOProc(ObjectID device, std::string_view queueLabel, IOBlock block,
                              std::optional<IOProcID>& outID) = 0;
  virtual Status destroyIOProc(ObjectID device, IOProcID id) = 0;
  virtual Status deviceStart(ObjectID device, IOProcID id) = 0;
  // Returns only once no cycle of the block is running any more.
  virtual Status deviceStop(ObjectID device, IOProcID id) = 0;
};

}  // namespace mixelot::hal
