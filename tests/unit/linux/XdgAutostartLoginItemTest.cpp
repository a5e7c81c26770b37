#include "platform/linux/XdgAutostartLoginItem.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/TempFolder.h"

namespace mixelot {
namespace {

using Status = LoginItem::Status;

TEST(XdgAutostartLoginItem, RegisterWritesTheEntryUnregisterDeletesItFailuresAreReported) {
  testsupport::TempFolder root;
  XdgAutostartLoginItem item(root.path(), "com.corvana.Mixelot", "/usr/bin/mixelot");
  std::string error;
  EXPECT_EQ(item.status(), Status::kNotRegistered);
  // Unregistering what is not there is not a failure.
  EXPECT_TRUE(item.unregisterItem(error)) << error;
  ASSERT_TRUE(item.registerItem(error)) << error;
  EXPECT_EQ(item.path(), root / "autostart/com.corvana.Mixelot.desktop");
  EXPECT_EQ(item.status(), Status::kEnabled);
  ASSERT_TRUE(item.unregisterItem(error)) << error;
  EXPECT_FALSE(std::filesystem::exists(item.path()));
  EXPECT_EQ(item.status(), Status::kNotRegistered);

  // The user's own entry with Hidden=true counts as disabled, and registering enables it.
  std::ofstream(item.path()) << "[Desktop Entry]\nType=Application\nName=Mixelot\nExec=mixelot\n"
                                "Hidden=true\n";
  EXPECT_EQ(item.status(), Status::kNotRegistered);
  ASSERT_TRUE(item.registerItem(error)) << error;
  EXPECT_EQ(item.status(), Status::kEnabled);

  // A file where the folder should be: fails for root too, unlike a permission check.
  testsupport::TempFolder blocked;
  std::ofstream(blocked / "autostart") << "not a folder";
  XdgAutostartLoginItem nowhere(blocked.path(), "com.corvana.Mixelot", "mixelot");
  EXPECT_FALSE(nowhere.registerItem(error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(nowhere.status(), Status::kNotRegistered);
}

TEST(XdgAutostartLoginItem, AProgramPathWithSpacesAndShellCharactersReadsBackAsOneArgument) {
  testsupport::TempFolder root;
  const std::string program = "/opt/My Apps/mix\"el$ot`\\";
  XdgAutostartLoginItem item(root.path(), "com.corvana.Mixelot", program);
  std::string error;
  ASSERT_TRUE(item.registerItem(error)) << error;

  // The desktop's reading: the key file's own unescaping, then Exec's quoting rules (which agree
  // with the shell's double quotes).
  g_autoptr(GKeyFile) file = g_key_file_new();
  ASSERT_TRUE(g_key_file_load_from_file(file, item.path().c_str(), G_KEY_FILE_NONE, nullptr));
  g_autofree char* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
  ASSERT_NE(exec, nullptr);
  int argc = 0;
  g_auto(GStrv) argv = nullptr;
  ASSERT_TRUE(g_shell_parse_argv(exec, &argc, &argv, nullptr)) << exec;
  EXPECT_EQ(argc, 1) << exec;
  EXPECT_EQ(std::string(argv[0]), program) << exec;
  EXPECT_EQ(XdgAutostartLoginItem::quoteExecArgument("/usr/bin/mixelot"), "/usr/bin/mixelot");
  EXPECT_EQ(XdgAutostartLoginItem::quoteExecArgument("/opt/100%/mixelot"), "/opt/100%%/mixelot");

  // The desktop's own checker, where it is installed (scripts/install-deps brings it).
  if (std::system("command -v desktop-file-validate >/dev/null") == 0) {
    std::string command = "desktop-file-validate '" + item.path() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
  }
}

}  // namespace
}  // namespace mixelot
