#include "controls/linux/X11WindowActivator.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace mixelot::controls {

namespace {

// Source indication 2: a pager or taskbar acting for the user.
constexpr std::uint32_t kSourcePager = 2;

// The CARDINAL, WINDOW or ATOM values of a property, empty when it is missing.
std::vector<std::uint32_t> readList(xcb_connection_t* connection, xcb_window_t window,
                                    xcb_atom_t property, xcb_atom_t type) {
  std::vector<std::uint32_t> values;
  auto* reply = xcb_get_property_reply(
      connection, xcb_get_property(connection, 0, window, property, type, 0, 4096), nullptr);
  if (!reply) return values;
  if (reply->format == 32) {
    const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
    values.assign(data, data + xcb_get_property_value_length(reply) / 4);
  }
  std::free(reply);
  return values;
}

}  // namespace

std::unique_ptr<X11WindowActivator> X11WindowActivator::connect(const std::string& display) {
  int screenNumber = 0;
  xcb_connection_t* connection =
      xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
  if (!connection || xcb_connection_has_error(connection)) {
    if (connection) xcb_disconnect(connection);
    return nullptr;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
  if (!screens.rem) {
    xcb_disconnect(connection);
    return nullptr;
  }
  std::unique_ptr<X11WindowActivator> activator(
      new X11WindowActivator(connection, screens.data->root));
  auto supported =
      readList(connection, activator->root_, activator->atom("_NET_SUPPORTED"), XCB_ATOM_ATOM);
  if (std::find(supported.begin(), supported.end(), activator->atom("_NET_ACTIVE_WINDOW")) ==
      supported.end())
    return nullptr;
  return activator;
}

X11WindowActivator::X11WindowActivator(xcb_connection_t* connection, xcb_window_t root)
    : connection_(connection), root_(root) {}

X11WindowActivator::~X11WindowActivator() {
  xcb_disconnect(connection_);
}

xcb_atom_t X11WindowActivator::atom(const char* name) const {
  auto* reply = xcb_intern_atom_reply(
      connection_,
      xcb_intern_atom(connection_, 1, static_cast<std::uint16_t>(std::strlen(name)), name),
      nullptr);
  if (!reply) return XCB_ATOM_NONE;
  xcb_atom_t result = reply->atom;
  std::free(reply);
  return result;
}

std::optional<pid_t> X11WindowActivator::focusedProcess() {
  if (xcb_connection_has_error(connection_)) return std::nullopt;
  // A WINDOW as window managers write it; some tools write the same value as a CARDINAL.
  auto active = readList(connection_, root_, atom("_NET_ACTIVE_WINDOW"), XCB_GET_PROPERTY_TYPE_ANY);
  if (active.empty() || active.front() == XCB_WINDOW_NONE) return std::nullopt;
  auto pid = readList(connection_, active.front(), atom("_NET_WM_PID"), XCB_ATOM_CARDINAL);
  if (pid.empty() || pid.front() == 0) return std::nullopt;
  return static_cast<pid_t>(pid.front());
}

bool X11WindowActivator::activate(const std::vector<pid_t>& pids) {
  if (pids.empty() || xcb_connection_has_error(connection_)) return false;
  // Bottom to top: the last match is the window the user saw last.
  auto windows = readList(connection_, root_, atom("_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW);
  if (windows.empty())
    windows = readList(connection_, root_, atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW);
  const xcb_atom_t pidAtom = atom("_NET_WM_PID");
  auto found = std::find_if(windows.rbegin(), windows.rend(), [&](xcb_window_t window) {
    auto pid = readList(connection_, window, pidAtom, XCB_ATOM_CARDINAL);
    return !pid.empty() &&
           std::find(pids.begin(), pids.end(), static_cast<pid_t>(pid.front())) != pids.end();
  });
  if (found == windows.rend()) return false;

  xcb_client_message_event_t message{};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = *found;
  message.type = atom("_NET_ACTIVE_WINDOW");
  message.data.data32[0] = kSourcePager;
  message.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(connection_, 0, root_,
                 XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                 reinterpret_cast<const char*>(&message));
  xcb_flush(connection_);
  return true;
}

}  // namespace mixelot::controls
