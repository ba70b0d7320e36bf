#include <gio/gio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/linux/helper_home.hpp"
#include "support/samples.hpp"

namespace vek::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kPortal = "/usr/libexec/xdg-desktop-portal";
constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";

// A session bus that starts nothing on demand: the portal is started by
// hand, and the document portal it would otherwise ask for needs FUSE.
constexpr const char* kBusConfig =
    "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
    "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
    "<allow own=\"*\"/></policy></busconfig>";

// Deletion as a helper inside a Flatpak or Snap does it: XDG_DATA_HOME is
// the sandbox's own folder, and GIO_USE_PORTALS=1 stands in for the
// sandbox, so that every file goes through the Trash portal.
class SandboxDeletionTest : public HelperHome {
 protected:
  Path sandboxData() const { return root_ / "sandbox-data"; }

  std::map<std::string, std::string> sandboxed(const std::string& busAddress) const {
    auto env = environment();
    env["XDG_DATA_HOME"] = sandboxData().string();
    env["GIO_USE_PORTALS"] = "1";
    env["DBUS_SESSION_BUS_ADDRESS"] = busAddress;
    return env;
  }
  using Names = std::set<std::string>;
};

// The real xdg-desktop-portal on a private session bus, with a home of its
// own: the host's, whose Trash is the user's real one.
class PortalTest : public SandboxDeletionTest {
 protected:
  void SetUp() override {
    SandboxDeletionTest::SetUp();
    for (const char* program : {kBusDaemon, kPortal}) VEK_REQUIRE_FILE(program);
    writeAll(root_ / "bus.conf", kBusConfig);
    // GLib trashes into the home Trash only files on the home folder's device.
    fs::create_directories(root_ / "portal-home");
    bus_ = std::make_unique<HelperProcess>(kBusDaemon, std::map<std::string, std::string>{},
                                           std::vector<std::string>{"--config-file=" + (root_ / "bus.conf").string(),
                                                                    "--address=" + busAddress(), "--nofork",
                                                                    "--print-address=1"});
    // The daemon prints its address once it listens.
    ASSERT_NE(bus_->readLine(), "") << bus_->stderrText();
    portal_ = std::make_unique<HelperProcess>(kPortal, std::map<std::string, std::string>{
                                                           {"HOME", (root_ / "portal-home").string()},
                                                           {"XDG_DATA_HOME", hostData().string()},
                                                           {"DBUS_SESSION_BUS_ADDRESS", busAddress()}});
    ASSERT_TRUE(waitForPortal()) << portal_->stderrText();
  }

  // Neither ends when its input closes.
  void TearDown() override {
    for (HelperProcess* service : {portal_.get(), bus_.get()}) {
      if (service != nullptr) service->kill();
    }
    SandboxDeletionTest::TearDown();
  }

  std::string busAddress() const { return "unix:path=" + (root_ / "bus").string(); }
  // The host's data folder, where the portal keeps the user's Trash.
  Path hostData() const { return root_ / "host-data"; }
  Path hostTrash() const { return hostData() / "Trash"; }

  // The photos in the host's Trash whose info gives their place in Pictures.
  Names hostTrashNames() const {
    Names names;
    for (const std::string& name : namesIn(hostTrash() / "files")) {
      const std::string info = readAll(hostTrash() / "info" / (name + ".trashinfo"));
      if (info.find("\nPath=" + (pictures() / name).string() + "\n") != std::string::npos) names.insert(name);
    }
    return names;
  }

 private:
  // Until the portal owns its name on the bus, has died, or a minute has
  // passed (it takes a tenth of a second).
  bool waitForPortal() const {
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        busAddress().c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (connection == nullptr) return false;
    bool owned = false;
    for (int attempt = 0; attempt < 6000 && !owned; ++attempt) {
      if (waitpid(portal_->pid(), nullptr, WNOHANG) != 0) break;
      GVariant* reply = g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                    "org.freedesktop.DBus", "NameHasOwner",
                                                    g_variant_new("(s)", kPortalName), G_VARIANT_TYPE("(b)"),
                                                    G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
      if (reply == nullptr) break;
      gboolean has = FALSE;
      g_variant_get(reply, "(b)", &has);
      g_variant_unref(reply);
      owned = has;
      if (!owned) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    return owned;
  }

  std::unique_ptr<HelperProcess> bus_;
  std::unique_ptr<HelperProcess> portal_;
};

TEST_F(PortalTest, PhotosGoToTheUsersTrashWhenStillAsListed) {
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) makeImage(pictures() / name, 16, 16);
  HelperProcess helper(helperBinary(), sandboxed(busAddress()));
  std::vector<std::string> ids = identifiers(helper, "image");
  ASSERT_EQ(ids.size(), 3u);

  // A photo rewritten since the listing is no longer the one listed: it
  // counts as not found, and stays.
  writeAll(pictures() / "b.jpg", readAll(pictures() / "b.jpg") + "edited");
  EXPECT_EQ(helper.request(deleteRequest(2, ids)), R"({"id":2,"ok":{"deletedCount":2,"userCancelled":false}})");
  EXPECT_EQ(namesIn(pictures()), Names{"b.jpg"});

  ids = identifiers(helper, "image");
  EXPECT_EQ(helper.request(deleteRequest(3, ids)), R"({"id":3,"ok":{"deletedCount":1,"userCancelled":false}})");
  EXPECT_TRUE(identifiers(helper, "image").empty());
  EXPECT_EQ(hostTrashNames(), (Names{"a.jpg", "b.jpg", "c.jpg"}));
  EXPECT_TRUE(namesIn(pictures()).empty());
  // The sandbox keeps its catalog in its own data folder and has no Trash.
  EXPECT_FALSE(fs::exists(sandboxData() / "Trash"));
  EXPECT_TRUE(fs::exists(sandboxData() / "vek-photokit-helper/catalog.sqlite3"));
  EXPECT_FALSE(fs::exists(hostData() / "vek-photokit-helper"));
  EXPECT_EQ(helper.finish(), 0);
  EXPECT_EQ(helper.stderrText(), "");
}

TEST_F(PortalTest, ARefusedPhotoIsReportedAndTheOthersLeave) {
  for (const char* name : {"a.jpg", "bad.jpg", "c.jpg"}) makeImage(pictures() / name, 16, 16);
  // A folder in the Trash under the photo's name makes the portal's rename fail.
  fs::create_directories(hostTrash() / "files/bad.jpg/taken");
  HelperProcess helper(helperBinary(), sandboxed(busAddress()));
  const std::vector<std::string> ids = identifiers(helper, "image");
  ASSERT_EQ(ids.size(), 3u);

  simdjson::dom::element reply = parse(helper.request(deleteRequest(2, ids)));
  EXPECT_EQ(text(reply["err"]["code"]), "badRequest");
  const std::string message = text(reply["err"]["message"]);
  EXPECT_NE(message.find("2 of 3 files went to the trash"), std::string::npos) << message;
  EXPECT_NE(message.find("these did not: \"" + (pictures() / "bad.jpg").string() + "\" (the desktop's Trash portal "
                                                                                     "refused it)."),
            std::string::npos)
      << message;
  EXPECT_EQ(namesIn(pictures()), Names{"bad.jpg"});
  fs::remove_all(hostTrash() / "files/bad.jpg");
  EXPECT_EQ(hostTrashNames(), (Names{"a.jpg", "c.jpg"}));

  // Only the refused photo is left in the catalog, still under its identifier.
  const std::vector<std::string> left = identifiers(helper, "image");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_NE(std::find(ids.begin(), ids.end(), left[0]), ids.end());
  EXPECT_EQ(helper.request(deleteRequest(3, ids)), R"({"id":3,"ok":{"deletedCount":1,"userCancelled":false}})");
  EXPECT_EQ(hostTrashNames(), (Names{"a.jpg", "bad.jpg", "c.jpg"}));
  EXPECT_EQ(helper.finish(), 0);
  EXPECT_EQ(helper.stderrText(), "");
}

// A Live Photo's movie goes first, and its still only after it: a refused
// movie keeps the pair whole, as the portal cannot put a still back.
TEST_F(PortalTest, ALivePhotoWhoseMovieIsRefusedStaysWhole) {
  VEK_REQUIRE_FILE(samplesFolder() / "IMG_2927.HEIC");
  fs::copy_file(samplesFolder() / "IMG_2927.HEIC", pictures() / "IMG_2927.HEIC");
  makeLiveMovie(pictures() / "IMG_2927.MOV");
  fs::create_directories(hostTrash() / "files/IMG_2927.MOV/taken");
  HelperProcess helper(helperBinary(), sandboxed(busAddress()));
  const std::vector<std::string> ids = identifiers(helper, "image");
  const std::string reply = helper.request(deleteRequest(2, ids));
  EXPECT_NE(reply.find("0 of 2 files went to the trash"), std::string::npos) << reply;
  EXPECT_EQ(namesIn(pictures()), (Names{"IMG_2927.HEIC", "IMG_2927.MOV"}));
  EXPECT_EQ(identifiers(helper, "image"), ids);
}

TEST_F(SandboxDeletionTest, WithoutASessionBusNothingMoves) {
  for (const char* name : {"a.jpg", "b.jpg"}) makeImage(pictures() / name, 16, 16);
  HelperProcess helper(helperBinary(), sandboxed("unix:path=" + (root_ / "no-bus").string()));
  const std::vector<std::string> ids = identifiers(helper, "image");
  ASSERT_EQ(ids.size(), 2u);

  simdjson::dom::element reply = parse(helper.request(deleteRequest(2, ids)));
  EXPECT_EQ(text(reply["err"]["code"]), "badRequest");
  EXPECT_EQ(text(reply["err"]["message"]),
            "Cannot move files to the trash: the session bus cannot be reached (Could not connect: No such file or "
            "directory).");
  EXPECT_EQ(namesIn(pictures()), (Names{"a.jpg", "b.jpg"}));
  EXPECT_EQ(identifiers(helper, "image"), ids);
  EXPECT_FALSE(fs::exists(sandboxData() / "Trash"));
  EXPECT_EQ(helper.finish(), 0);
  EXPECT_EQ(helper.stderrText(), "");
}

}  // namespace
}  // namespace vek::testing
