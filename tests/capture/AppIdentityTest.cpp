// Which application a socket belongs to: the cgroup paths that systemd, Flatpak, snap and the
// desktops make, the process name where they name none, the mount table's cgroup v2 entry, the
// cgroup ids of a folder tree, and the desktop entries that give a name and an icon.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "capture/AppIdentity.h"

namespace zul {
namespace {

TEST(AppIdentity, NamesTheApplicationByItsNearestScopeOrServiceElseByItsProcess) {
  struct TCase {
    const char* Path;
    const char* Comm;
    const char* Want;
  } const cases[] = {
      // Desktop launchers: the launcher's name and the start's number go.
      {"/user.slice/user-1000.slice/user@1000.service/app.slice/"
       "app-gnome-org.mozilla.firefox-4711.scope",
       "firefox-bin", "org.mozilla.firefox"},
      {"/user.slice/user-1000.slice/user@1000.service/app.slice/app-org.kde.konsole-1234.scope",
       "konsole", "org.kde.konsole"},
      // An escaped dash belongs to the identity.
      {"/user.slice/user-1000.slice/user@1000.service/app.slice/"
       "app-gnome-google\\x2dchrome-99.scope",
       "chrome", "google-chrome"},
      {"/user.slice/user-1000.slice/user@1000.service/app.slice/"
       "app-flatpak-org.telegram.desktop-3141.scope",
       "telegram-deskto", "org.telegram.desktop"},
      {"/user.slice/user-1000.slice/user@1000.service/app.slice/app-firefox@a1b2c3.service",
       "firefox", "firefox"},
      // A sub-group inside a scope still belongs to it.
      {"/user.slice/user-1000.slice/user@1000.service/app.slice/"
       "app-flatpak-com.valvesoftware.Steam-77.scope/sub",
       "steam", "com.valvesoftware.Steam"},
      // Snaps: old and new scope names, and services.
      {"/user.slice/user-1000.slice/user@1000.service/app.slice/"
       "snap.firefox.firefox-2a0c2d8e-7f61-4b11-9b34-0123456789ab.scope",
       "firefox", "firefox_firefox"},
      {"/user.slice/user-1000.slice/user@1000.service/app.slice/"
       "snap.spotify.spotify.0c7e5c22-0000-4b11-9b34-0123456789ab.scope",
       "spotify", "spotify_spotify"},
      {"/system.slice/snap.lxd.daemon.service", "lxd", "lxd_daemon"},
      // Services, of the system and of the user.
      {"/system.slice/systemd-resolved.service", "systemd-resolve", "systemd-resolved.service"},
      {"/system.slice/system-getty.slice/getty@tty1.service", "agetty", "getty@tty1.service"},
      {"/user.slice/user-1000.slice/user@1000.service/session.slice/pipewire.service", "pipewire",
       "pipewire.service"},
      // No identity: the process's name.
      {"/user.slice/user-1000.slice/session-2.scope", "curl", "curl"},
      {"/user.slice/user-1000.slice/user@1000.service/app.slice/"
       "vte-spawn-0c7e5c22-0000-4b11-9b34-0123456789ab.scope",
       "wget", "wget"},
      {"/user.slice/user-1000.slice/user@1000.service/init.scope", "systemd", "systemd"},
      {"/system.slice/docker-0123abcd.scope", "nginx", "nginx"},
      {"/", "ntpd", "ntpd"},
      {"", "ntpd", "ntpd"},
      // The user's service manager is not one application.
      {"/user.slice/user-1000.slice/user@1000.service", "systemd", "systemd"},
      // A socket from before the counting began has no process name: the group's name.
      {"/user.slice/user-1000.slice/session-2.scope", "", "session-2.scope"},
      {"", "", "unknown"},
      // Malformed names fall back rather than giving an empty identity.
      {"/x/app-.scope", "sh", "sh"},
      {"/x/snap..scope", "sh", "sh"},
      // Control characters never reach the screen or the log.
      {"/system.slice/a\\x0ab.service", "x", "a?b.service"},
      {"", "bad\x1b[2J", "bad?[2J"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Path);
    EXPECT_EQ(AppIdentity(c.Path, c.Comm), c.Want);
  }
  EXPECT_EQ(AppIdentity("/" + std::string(1000, 'a') + ".service", "x").size(), 255u);
}

TEST(AppIdentity, FindsTheCgroup2MountAmongOthersWithItsEscapes) {
  const std::string hybrid =
      "25 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "30 25 0:26 / /sys/fs/cgroup ro shared:9 - tmpfs tmpfs ro,mode=755\n"
      "31 30 0:27 / /sys/fs/cgroup/systemd rw shared:10 - cgroup cgroup rw,name=systemd\n"
      "41 30 0:38 / /sys/fs/cgroup/unified rw,relatime shared:11 - cgroup2 cgroup2 rw\n";
  EXPECT_EQ(FindCgroup2Mount(hybrid), "/sys/fs/cgroup/unified");
  EXPECT_EQ(FindCgroup2Mount("29 23 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 "
                             "rw,nsdelegate\n"),
            "/sys/fs/cgroup");
  EXPECT_EQ(FindCgroup2Mount("29 23 0:26 / /mnt/my\\040cg rw - cgroup2 none rw\n"), "/mnt/my cg");
  // A bind mount of a sub-group is not the hierarchy's root; optional fields may come between.
  EXPECT_EQ(FindCgroup2Mount("29 23 0:26 /sub /mnt/sub rw master:3 - cgroup2 none rw\n"), "");
  EXPECT_EQ(FindCgroup2Mount("31 30 0:27 / /sys/fs/cgroup/systemd rw - cgroup cgroup rw\n"), "");
  EXPECT_EQ(FindCgroup2Mount("garbage\n - \n\n"), "");
}

TEST(AppIdentity, CgroupIdsAreFolderInodesFoundAgainAfterAChange) {
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("zul-cg-" + std::to_string(getpid()));
  std::filesystem::create_directories(root / "user.slice" / "app.scope");
  auto inode = [](const std::filesystem::path& p) {
    struct stat st {};
    stat(p.c_str(), &st);
    return static_cast<uint64_t>(st.st_ino);
  };
  TCgroupPaths paths(root.string());
  EXPECT_EQ(paths.Find(inode(root / "user.slice" / "app.scope"), true), "/user.slice/app.scope");
  EXPECT_EQ(paths.Find(inode(root), false), "/");
  std::filesystem::create_directories(root / "system.slice" / "late.service");
  const uint64_t late = inode(root / "system.slice" / "late.service");
  // Not rescanned when the caller says no; found once it may.
  EXPECT_EQ(paths.Find(late, false), std::nullopt);
  EXPECT_EQ(paths.Find(late, true), "/system.slice/late.service");
  EXPECT_EQ(paths.Scans(), 2u);
  EXPECT_EQ(paths.Find(1234567890123, true), std::nullopt);
  std::filesystem::remove_all(root);
  EXPECT_EQ(TCgroupPaths("/nonexistent/zul").Find(1, true), std::nullopt);
}

TEST(AppIdentity, DesktopEntriesGiveNameAndIconFromTheFirstFolderThatHasThem) {
  struct TCase {
    const char* Text;
    std::optional<TDesktopEntry> Want;
  } const cases[] = {
      {"[Desktop Entry]\nType=Application\nName=Firefox\nName[de]=Feuerfuchs\nIcon=firefox\n",
       TDesktopEntry{"Firefox", "firefox"}},
      {"# comment\r\n[Desktop Entry]\r\nName = Spaced \r\nIcon=/opt/x.png\r\n",
       TDesktopEntry{"Spaced ", "/opt/x.png"}},
      // Another group's Name is not the entry's.
      {"[Desktop Action new]\nName=New Window\n[Desktop Entry]\nName=Real\n",
       TDesktopEntry{"Real", ""}},
      {"[Desktop Entry]\nType=Link\nName=A link\n", std::nullopt},
      {"[Desktop Entry]\nIcon=x\n", std::nullopt},
      {"Name=No group\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(ParseDesktopEntry(c.Text), c.Want);
  }

  EXPECT_EQ(DesktopEntryDirs("/d/home", "/a:relative:/b/", "/home/u"),
            (std::vector<std::string>{
                "/d/home/applications", "/d/home/flatpak/exports/share/applications",
                "/a/applications", "/b/applications", "/var/lib/flatpak/exports/share/applications",
                "/var/lib/snapd/desktop/applications"}));
  EXPECT_EQ(DesktopEntryDirs(nullptr, nullptr, "/home/u").front(),
            "/home/u/.local/share/applications");
  EXPECT_EQ(DesktopEntryDirs(nullptr, "", nullptr)[0], "/usr/local/share/applications");

  const std::filesystem::path base =
      std::filesystem::temp_directory_path() / ("zul-de-" + std::to_string(getpid()));
  const std::filesystem::path first = base / "first", second = base / "second";
  std::filesystem::create_directories(first);
  std::filesystem::create_directories(second / "kde");
  auto write = [](const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p) << text;
  };
  write(first / "org.example.App.desktop", "[Desktop Entry]\nName=First\nIcon=one\n");
  write(second / "org.example.App.desktop", "[Desktop Entry]\nName=Second\n");
  write(second / "kde" / "konsole.desktop", "[Desktop Entry]\nName=Konsole\nIcon=utilities\n");
  write(first / "broken.desktop", "[Desktop Entry]\nIcon=x\n");
  write(second / "broken.desktop", "[Desktop Entry]\nName=Fixed\n");
  const std::vector<std::string> dirs{first.string(), second.string()};
  EXPECT_EQ(FindDesktopEntry("org.example.App", dirs), (TDesktopEntry{"First", "one"}));
  EXPECT_EQ(FindDesktopEntry("kde-konsole", dirs), (TDesktopEntry{"Konsole", "utilities"}));
  EXPECT_EQ(FindDesktopEntry("broken", dirs), (TDesktopEntry{"Fixed", ""}));
  EXPECT_EQ(FindDesktopEntry("missing", dirs), std::nullopt);
  // An identity is never a path out of the folders.
  EXPECT_EQ(FindDesktopEntry("../first/org.example.App", dirs), std::nullopt);
  EXPECT_EQ(FindDesktopEntry("", dirs), std::nullopt);
  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace zul
