// The desktop side of the program: command line, where its files live, and
// the activity log file with its rotation.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "app/command_line.h"
#include "app/desktop_paths.h"
#include "app/log_file.h"
#include "base/activity_log.h"

namespace ipcam {
namespace {

TEST(CommandLineTest, OptionsAndErrors) {
    CommandLine c = parseCommandLine({"ipcam-recorder"});
    EXPECT_TRUE(c.error.isEmpty());
    EXPECT_FALSE(c.help || c.version);
    EXPECT_TRUE(c.settingsFile.isEmpty());

    c = parseCommandLine({"ipcam-recorder", "--settings", "/tmp/cam.INI"});
    EXPECT_TRUE(c.error.isEmpty());
    EXPECT_EQ(c.settingsFile, "/tmp/cam.INI");
    EXPECT_EQ(parseCommandLine({"ipcam-recorder", "--settings=/tmp/b.INI"}).settingsFile, "/tmp/b.INI");

    EXPECT_TRUE(parseCommandLine({"ipcam-recorder", "--version"}).version);
    EXPECT_STREQ(kProgramVersionText, "IPCam Recorder 1.5");
    c = parseCommandLine({"ipcam-recorder", "-h"});
    EXPECT_TRUE(c.help);
    EXPECT_TRUE(c.helpText.contains("--settings FILE"));

    EXPECT_EQ(parseCommandLine({"ipcam-recorder", "--bogus"}).error, "Unknown option 'bogus'.");
    EXPECT_FALSE(parseCommandLine({"ipcam-recorder", "--settings"}).error.isEmpty());
    EXPECT_FALSE(parseCommandLine({"ipcam-recorder", "--settings="}).error.isEmpty());
    EXPECT_FALSE(parseCommandLine({"ipcam-recorder", "stray"}).error.isEmpty());
}

// The rules see the disk only through the two seams: root may write
// anywhere, so a read-only folder is played by the seam.
struct FakeDisk {
    std::set<std::string> files;
    std::set<std::string> writableDirs;
    PathEnvironment env(const std::string& program, const std::string& override = {}) {
        PathEnvironment e;
        e.programPath = program;
        e.workingDirectory = "/home/ann/work";
        e.home = "/home/ann";
        e.videosDirectory = "/home/ann/Videos";
        e.settingsOverride = override;
        e.exists = [this](const std::string& p) { return files.count(p) > 0; };
        e.writable = [this](const std::string& p) { return writableDirs.count(p) > 0; };
        return e;
    }
};

TEST(DesktopPathsTest, WritableFolderKeepsTheSettingsBesideTheProgram) {
    FakeDisk disk;
    disk.writableDirs = {"/home/ann/build", "/home/ann/work"};
    const DesktopPaths p = resolveDesktopPaths(disk.env("/home/ann/build/ipcam-recorder"));
    EXPECT_EQ(p.settingsFile, "/home/ann/build/ipcam-recorder.INI");
    EXPECT_TRUE(p.besideProgram);
    EXPECT_EQ(p.logFile, "/home/ann/build/ipcam-recorder.log");
    EXPECT_EQ(p.snapshotFile, "/home/ann/work/jpeg_view01.jpg");
    EXPECT_EQ(p.fallbackDirectory, "/home/ann/work");

    // An existing file beside the program is kept even where it cannot be
    // written (its save then reports the error).
    FakeDisk ro;
    ro.files = {"/srv/cam/ipcam-recorder.INI"};
    EXPECT_EQ(resolveDesktopPaths(ro.env("/srv/cam/ipcam-recorder")).settingsFile, "/srv/cam/ipcam-recorder.INI");
}

TEST(DesktopPathsTest, ReadOnlyFolderUsesTheConfigurationHome) {
    FakeDisk disk;  // nothing writable: started from a menu in "/"
    PathEnvironment env = disk.env("/srv/cam/ipcam-recorder");
    env.workingDirectory = "/";
    DesktopPaths p = resolveDesktopPaths(env);
    EXPECT_EQ(p.settingsFile, "/home/ann/.config/ipcam-recorder/ipcam-recorder.INI");
    EXPECT_FALSE(p.besideProgram);
    EXPECT_EQ(p.logFile, "/home/ann/.config/ipcam-recorder/ipcam-recorder.log");
    EXPECT_EQ(p.snapshotFile, "/home/ann/.config/ipcam-recorder/jpeg_view01.jpg");
    EXPECT_EQ(p.fallbackDirectory, "/home/ann/Videos/IPCam");

    env.xdgConfigHome = "/home/ann/cfg";
    EXPECT_EQ(resolveDesktopPaths(env).settingsFile, "/home/ann/cfg/ipcam-recorder/ipcam-recorder.INI");
    env.xdgConfigHome = "relative/cfg";  // not absolute: ignored
    EXPECT_EQ(resolveDesktopPaths(env).settingsFile, "/home/ann/.config/ipcam-recorder/ipcam-recorder.INI");

    // A system folder never holds the settings, even for root who may write there.
    disk.writableDirs = {"/usr/bin", "/home/ann/work"};
    p = resolveDesktopPaths(disk.env("/usr/bin/ipcam-recorder"));
    EXPECT_EQ(p.settingsFile, "/home/ann/.config/ipcam-recorder/ipcam-recorder.INI");
    EXPECT_EQ(p.snapshotFile, "/home/ann/work/jpeg_view01.jpg");
}

TEST(DesktopPathsTest, SettingsOptionWins) {
    FakeDisk disk;
    disk.writableDirs = {"/home/ann/build", "/home/ann/work"};
    DesktopPaths p = resolveDesktopPaths(disk.env("/home/ann/build/ipcam-recorder", "/home/ann/cams/door.INI"));
    EXPECT_EQ(p.settingsFile, "/home/ann/cams/door.INI");
    EXPECT_FALSE(p.besideProgram);
    EXPECT_EQ(p.logFile, "/home/ann/cams/ipcam-recorder.log");
    EXPECT_EQ(p.fallbackDirectory, "/home/ann/work");

    // A relative name is taken from the working directory of the process.
    p = resolveDesktopPaths(disk.env("/home/ann/build/ipcam-recorder", "door.INI"));
    EXPECT_EQ(p.settingsFile, (std::filesystem::current_path() / "door.INI").string());
}

TEST(DesktopPathsTest, PreparedConfigurationFolderIsPrivate) {
    QTemporaryDir tmp;
    const std::string root = tmp.path().toStdString();
    DesktopPaths p;
    p.settingsFile = root + "/config/ipcam-recorder/ipcam-recorder.INI";
    p.fallbackDirectory = root + "/Videos/IPCam";
    std::string error;
    ASSERT_TRUE(prepareDesktopPaths(p, &error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat((root + "/config/ipcam-recorder").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(std::filesystem::is_directory(p.fallbackDirectory));
}

TEST(LogFileTest, LinesGoToTheFileAndRotateBySize) {
    QTemporaryDir tmp;
    const std::string path = tmp.filePath("ipcam-recorder.log").toStdString();
    {
        LogFile log({path, 200, 3, false});
        LogFile::install(&log);
        qCInfo(lcSettings).noquote() << "Settings saved to /x.INI";
        qCWarning(lcLink).noquote() << "two\nlines";
        log.flush();
        std::ifstream in(path);
        std::string first, second;
        std::getline(in, first);
        std::getline(in, second);
        // "yyyy-MM-ddTHH:mm:ss+hh:mm LEVEL category: text"
        ASSERT_GE(first.size(), 26u);
        EXPECT_EQ(first[4], '-');
        EXPECT_EQ(first[10], 'T');
        EXPECT_EQ(first[13], ':');
        EXPECT_TRUE(first[19] == '+' || first[19] == '-') << first;
        EXPECT_EQ(first[22], ':');
        EXPECT_EQ(first.substr(25), " INFO  ipcam.settings: Settings saved to /x.INI");
        EXPECT_EQ(second.substr(25), " WARN  ipcam.link: two | lines");
        for (int i = 0; i < 20; ++i) qCInfo(lcApp) << "line" << i;
    }  // the destructor writes what is queued
    namespace fs = std::filesystem;
    EXPECT_TRUE(fs::exists(path));
    EXPECT_TRUE(fs::exists(path + ".1"));
    EXPECT_TRUE(fs::exists(path + ".2"));
    EXPECT_FALSE(fs::exists(path + ".3"));  // three files kept in all
    for (const std::string& f : {path, path + ".1", path + ".2"}) EXPECT_LE(fs::file_size(f), 200u);
    std::ifstream in(path);
    const std::string last((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(last.find("ipcam.app: line 19\n"), std::string::npos);
}

// The hour the clocks repeat in autumn reads apart by its offset.
TEST(LogFileTest, LineTimeCarriesItsOffsetFromUtc) {
    struct ZoneForTheTest {
        const bool had = qEnvironmentVariableIsSet("TZ");
        const QByteArray before = qgetenv("TZ");
        explicit ZoneForTheTest(const char* zone) {
            qputenv("TZ", zone);
            ::tzset();
        }
        ~ZoneForTheTest() {
            if (had)
                qputenv("TZ", before);
            else
                qunsetenv("TZ");
            ::tzset();
        }
    };
    using namespace std::chrono;
    const sys_days day = year{2026} / October / 25;
    const auto line = [](system_clock::time_point when) {
        return LogFile::formatLine(QtInfoMsg, "ipcam.app", QStringLiteral("tick"), when);
    };
    {
        const ZoneForTheTest berlin("CET-1CEST,M3.5.0,M10.5.0/3");  // Europe/Berlin's rule
        EXPECT_EQ(line(day + 10min + 1s), "2026-10-25T02:10:01+02:00 INFO  ipcam.app: tick\n");
        EXPECT_EQ(line(day + 1h + 10min + 1s), "2026-10-25T02:10:01+01:00 INFO  ipcam.app: tick\n");
    }
    const ZoneForTheTest newfoundland("NST3:30");
    EXPECT_EQ(line(day + 10min + 1s).substr(0, 25), "2026-10-24T20:40:01-03:30");
}

TEST(LogFileTest, ALogTakenAwayWhileAnotherThreadWritesIsNeverUsedAfterward) {
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop.load()) qCInfo(lcRecording) << "from the recording thread";
    });
    for (int i = 0; i < 50; ++i) {
        auto log = std::make_unique<LogFile>(LogFile::Options{"", 1024, 1, false});
        LogFile::install(log.get());
        std::this_thread::yield();
    }  // each log is destroyed while the writer goes on
    stop = true;
    writer.join();
}

}  // namespace
}  // namespace ipcam
