#include "platform/linux/XdgAutostartLoginItem.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace mixelot {
namespace {

struct KeyFileDeleter {
  void operator()(GKeyFile* file) const { g_key_file_unref(file); }
};
using KeyFilePtr = std::unique_ptr<GKeyFile, KeyFileDeleter>;

std::string takeError(GError* error) {
  std::string message = error ? error->message : "unknown error";
  if (error) g_error_free(error);
  return message;
}

}  // namespace

std::string XdgAutostartLoginItem::quoteExecArgument(std::string_view argument) {
  // Desktops split Exec themselves, not through a shell: an argument with any reserved character
  // goes in double quotes, inside which only ", `, $ and \ are escaped. A literal percent sign
  // would be taken for a field code.
  constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string escaped;
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') escaped += '\\';
    if (c == '%') escaped += '%';
    escaped += c;
  }
  if (!argument.empty() && argument.find_first_of(kReserved) == std::string_view::npos)
    return escaped;
  return '"' + escaped + '"';
}

XdgAutostartLoginItem::XdgAutostartLoginItem(std::string configHome, std::string desktopId,
                                             std::string_view program)
    : folder_(std::move(configHome) + "/autostart"),
      path_(folder_ + "/" + desktopId + ".desktop"),
      exec_(quoteExecArgument(program)) {}

std::string XdgAutostartLoginItem::defaultConfigHome() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) return config;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.config";
}

LoginItem::Status XdgAutostartLoginItem::status() {
  KeyFilePtr file(g_key_file_new());
  if (!g_key_file_load_from_file(file.get(), path_.c_str(), G_KEY_FILE_NONE, nullptr)) {
    // An unreadable or malformed entry starts nothing at login.
    return Status::kNotRegistered;
  }
  GError* error = nullptr;
  gboolean hidden = g_key_file_get_boolean(file.get(), G_KEY_FILE_DESKTOP_GROUP,
                                           G_KEY_FILE_DESKTOP_KEY_HIDDEN, &error);
  if (error) g_error_free(error);
  return hidden ? Status::kNotRegistered : Status::kEnabled;
}

bool XdgAutostartLoginItem::registerItem(std::string& error) {
  if (g_mkdir_with_parents(folder_.c_str(), 0700) != 0) {
    error = "cannot create " + folder_ + ": " + std::strerror(errno);
    return false;
  }
  KeyFilePtr file(g_key_file_new());
  const char* group = G_KEY_FILE_DESKTOP_GROUP;
  g_key_file_set_string(file.get(), group, G_KEY_FILE_DESKTOP_KEY_TYPE, "Application");
  g_key_file_set_string(file.get(), group, G_KEY_FILE_DESKTOP_KEY_NAME, "Mixelot");
  g_key_file_set_string(file.get(), group, G_KEY_FILE_DESKTOP_KEY_COMMENT,
                        "Per-application volume mixer");
  g_key_file_set_string(file.get(), group, G_KEY_FILE_DESKTOP_KEY_EXEC, exec_.c_str());
  g_key_file_set_string(file.get(), group, G_KEY_FILE_DESKTOP_KEY_ICON, "com.corvana.Mixelot");
  g_key_file_set_boolean(file.get(), group, G_KEY_FILE_DESKTOP_KEY_TERMINAL, FALSE);
  g_key_file_set_boolean(file.get(), group, "X-GNOME-Autostart-enabled", TRUE);
  GError* gerror = nullptr;
  if (!g_key_file_save_to_file(file.get(), path_.c_str(), &gerror)) {
    error = takeError(gerror);
    return false;
  }
  return true;
}

bool XdgAutostartLoginItem::unregisterItem(std::string& error) {
  if (g_unlink(path_.c_str()) != 0 && errno != ENOENT) {
    error = "cannot remove " + path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace mixelot
