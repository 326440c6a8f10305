#include "app/AppDelegate.h"

#include "app/RawImageRep.h"
#include "platform/Dispatch.h"
#include "platform/ImageRepClass.h"
#include "platform/Process.h"
#include "support/FileModes.h"
#include "support/SolverFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quintarvel {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

class NoBoxes : public CheckBoxContainer {
  public:
    std::vector<std::shared_ptr<TitledCheckBox>> subviews() const override { return {}; }
};

std::size_t countOf(const std::string &text, const std::string &piece) {
    std::size_t count = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// Tries, as the user `uid` of the group `gid`, to open the named pipes in `folder` the way a
// client does, without waiting. The exit status of the child that tries: bit 1 when "request"
// was not refused for want of permission, bit 2 likewise for "response"; 4 when the user
// cannot reach `reachable` (the open folder above the container: the check proves nothing
// then); 8 when the child cannot become the user; -1 when there is no child.
int openPipesAs(uid_t uid, gid_t gid, const fs::path &reachable, const fs::path &folder) {
    const std::string above = reachable.string();
    const std::string request = (folder / "request").string();
    const std::string response = (folder / "response").string();
    const pid_t child = ::fork();
    if (child == 0) {
        // System calls only: the forked copy of this threaded process may hold others' locks.
        if (::syscall(SYS_setgroups, 0, nullptr) != 0 || ::syscall(SYS_setgid, gid) != 0 ||
            ::syscall(SYS_setuid, uid) != 0)
            ::_exit(8);
        if (::open(above.c_str(), O_PATH | O_DIRECTORY) == -1)
            ::_exit(4);
        int status = 0;
        if (::open(request.c_str(), O_WRONLY | O_NONBLOCK) != -1 || errno != EACCES)
            status |= 1;
        if (::open(response.c_str(), O_RDONLY | O_NONBLOCK) != -1 || errno != EACCES)
            status |= 2;
        ::_exit(status);
    }
    int status = 0;
    if (child == -1 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// The user "nobody", for tests that need another user; nothing when this process cannot be
// another user (it is not root) or there is no such user.
const passwd *anotherUser() {
    return ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
}

// An application delegate wired to a solver and an index manager over recording views, with
// the legacy folder and the container of the shared folder in a temporary folder.
class AppDelegateTest : public ::testing::Test, protected test::SolverFixture {
  protected:
    AppDelegateTest() : SolverFixture(QUINTARVEL_TEST_FIXTURES "/engine") {
        makeSolver(container() / "Data/Library/Application Support/Quintarvel", dir / "tmp");
        fs::remove_all(container()); // start-up makes it
        indexManager = std::make_shared<IndexManagerDelegate>(
            shared(), "http://127.0.0.1:9/4100/", "http://127.0.0.1:9/4200/",
            [](const URLRequest &, std::weak_ptr<URLDownloadDelegate>) { return nullptr; });
        indexManager->setWindow(indexWindow);
        indexManager->setSeries4100(std::make_shared<NoBoxes>());
        indexManager->setSeries4200(std::make_shared<NoBoxes>());
        app = std::make_shared<AppDelegate>(legacy(), container());
        app->setSolver(solver);
        app->setIndexManager(indexManager);
        app->setServiceOptions(
            test::loopbackServiceOptions("Quintarvel test " + std::to_string(getpid())));
        solver->setUserDefaults(std::make_shared<UserDefaults>(std::nullopt));
    }
    ~AppDelegateTest() override { solver->stopServices(); }

    fs::path shared() const { return solver->paths().supportFolder; }
    fs::path legacy() const { return dir / "legacy"; }
    fs::path container() const { return dir / "K3VQ7RZ2NP.TALVEN"; }
    std::string containerLine(const std::string &rest) const {
        return "The container folder " + container().string() +
               " of the application group K3VQ7RZ2NP.TALVEN " + rest;
    }

    // Launches and gives what went to the system log meanwhile.
    std::string launch() {
        ::testing::internal::CaptureStderr();
        app->applicationDidFinishLaunching();
        drainMainQueue();
        return ::testing::internal::GetCapturedStderr();
    }

    std::shared_ptr<test::FakeWindow> indexWindow = std::make_shared<test::FakeWindow>();
    std::shared_ptr<IndexManagerDelegate> indexManager;
    std::shared_ptr<AppDelegate> app;
};

TEST_F(AppDelegateTest, WithoutLegacyFolderLaunchOpensTheEmptyIndexWindowAndStartsTheServices) {
    EXPECT_EQ(countOf(launch(), "I/O failed "), 0u);
    EXPECT_TRUE(fs::is_directory(shared()));
    EXPECT_EQ(indexWindow->fronts, 1); // no index file: the index window opens
    EXPECT_EQ(window->fronts, 1);
    ASSERT_TRUE(app->activity());
    EXPECT_EQ(app->activity()->options(), 0xFFu);
    EXPECT_EQ(app->activity()->reason(), "Good Reason");
    EXPECT_TRUE(solver->httpServer());
    EXPECT_NE(logView->text().find("HTTP server started on port "), std::string::npos);
}

TEST_F(AppDelegateTest, LegacyIndexFilesMoveInBeforeTheyAreCountedAndTheRestIsDeleted) {
    fs::create_directories(legacy() / "folder");
    for (const auto *name : {"index-4107.fits", "notes.txt", "shout.FITS", "folder/in.fits"})
        writeFile(legacy() / name, name);
    writeFile(legacy() / ".hidden", "hidden");
    EXPECT_EQ(countOf(launch(), "I/O failed "), 0u);
    EXPECT_EQ(readFile(shared() / "index-4107.fits"), "index-4107.fits");
    std::vector<std::string> left;
    for (const auto &entry : fs::directory_iterator(legacy()))
        left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{".hidden"});
    EXPECT_EQ(indexWindow->fronts, 0); // the moved index file counts as present
}

TEST_F(AppDelegateTest, AFailedMoveStopsTheMigrationWithOneLineAndLaunchGoesOn) {
    fs::create_directories(shared());
    fs::create_directories(legacy());
    for (const auto *name : {"a.fits", "b.fits"}) {
        writeFile(shared() / name, "kept");
        writeFile(legacy() / name, "legacy");
    }
    EXPECT_EQ(countOf(launch(), "I/O failed "), 1u);
    for (const auto *name : {"a.fits", "b.fits"}) {
        EXPECT_EQ(readFile(shared() / name), "kept"); // never replaced
        EXPECT_EQ(readFile(legacy() / name), "legacy");
    }
    EXPECT_EQ(window->fronts, 1);
}

TEST_F(AppDelegateTest, ASharedFolderThatCannotBeMadeLeavesTheLegacyFolderAlone) {
    fs::create_directories(shared().parent_path());
    writeFile(shared(), "a file where the folder belongs");
    fs::create_directories(legacy());
    writeFile(legacy() / "index-4107.fits", "index");
    EXPECT_EQ(countOf(launch(), "I/O failed "), 1u);
    EXPECT_EQ(readFile(legacy() / "index-4107.fits"), "index");
    EXPECT_EQ(window->fronts, 1);
}

TEST_F(AppDelegateTest, AFreshStartMakesTheContainerPrivateAndTheFoldersInsideAsBefore) {
    {
        test::ScopedUmask usual(0022);
        EXPECT_EQ(countOf(launch(), "The container folder "), 0u);
    }
    EXPECT_EQ(test::modeOf(container().c_str()), 0700u);
    EXPECT_EQ(test::modeOf(shared().c_str()), 0755u);
    EXPECT_EQ(test::modeOf((container() / "Data").c_str()), 0755u);
}

TEST_F(AppDelegateTest, AStartOverAnOpenContainerNarrowsItWithOneLine) {
    ASSERT_EQ(mkdir(container().c_str(), 0755), 0);
    ASSERT_EQ(chmod(container().c_str(), 0755), 0);
    const std::string log = launch();
    EXPECT_EQ(test::modeOf(container().c_str()), 0700u);
    EXPECT_EQ(countOf(log, "The container folder "), 1u);
    EXPECT_EQ(
        countOf(log, containerLine("was open to other users (mode 0755): narrowed to 0700\n")), 1u);
    EXPECT_TRUE(fs::is_directory(shared()));
}

TEST_F(AppDelegateTest, AContainerOfAnotherUserStopsTheStart) {
    const passwd *other = anotherUser();
    if (!other)
        GTEST_SKIP() << "only root can give a folder to another user (nobody)";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(mkdir(container().c_str(), 0700), 0);
    ASSERT_EQ(chown(container().c_str(), other->pw_uid, other->pw_gid), 0);
    auto refusedStart = [&] {
        // The child's own folder, which its exit would leave behind: std::exit runs no
        // destructor.
        static fs::path childFolder;
        childFolder = dir.path();
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(childFolder, ignored);
        });
        app->applicationDidFinishLaunching();
    };
    EXPECT_EXIT(refusedStart(), ::testing::ExitedWithCode(EXIT_FAILURE),
                "The container folder .* belongs to another user");
}

TEST_F(AppDelegateTest, WithThePrivateContainerAnotherUserCannotOpenEitherPipe) {
    const passwd *other = anotherUser();
    if (!other)
        GTEST_SKIP() << "only root can be another user (nobody)";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0); // only the container keeps others out
    {
        // The most open umask: pipes 0666 and every folder inside open to all.
        test::ScopedUmask openToAll(0);
        launch();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!(fs::exists(shared() / "request") && fs::exists(shared() / "response")) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(fs::exists(shared() / "request") && fs::exists(shared() / "response"));
    const int refused = openPipesAs(other->pw_uid, other->pw_gid, dir.path(), shared());
    if (refused == 4)
        GTEST_SKIP() << "nobody cannot reach " << dir.path() << ": put TMPDIR elsewhere";
    EXPECT_EQ(refused, 0) << "1: request opened, 2: response opened, 8: not another user";
}

TEST_F(AppDelegateTest, WillFinishLaunchingRegistersTheRawImageRepresentation) {
    app->applicationWillFinishLaunching();
    const std::string name = RawImageRep::imageRepClass().name;
    const auto classes = registeredImageRepClasses();
    EXPECT_TRUE(std::any_of(classes.begin(), classes.end(),
                            [&](const auto &registered) { return name == registered.name; }));
}

TEST_F(AppDelegateTest, TerminationRemovesThePipesAndStopsARunningEngine) {
    app->applicationWillTerminate(); // no pipes: nothing to complain about
    fs::create_directories(shared());
    for (const auto *pipe : {"request", "response"})
        ASSERT_EQ(mkfifo((shared() / pipe).c_str(), 0666), 0);
    auto engine = std::make_shared<Process>();
    engine->setLaunchPath("/bin/sleep");
    engine->setArguments({"600"});
    engine->launch();
    solver->setTask(engine);

    app->applicationWillTerminate();
    EXPECT_FALSE(fs::exists(fs::symlink_status(shared() / "request")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(shared() / "response")));
    EXPECT_EQ(engine->waitUntilExit(), 15);
}

} // namespace
} // namespace quintarvel
