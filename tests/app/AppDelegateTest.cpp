#include "app/AppDelegate.h"

#include "app/RawImageRep.h"
#include "platform/Dispatch.h"
#include "platform/ImageRepClass.h"
#include "platform/Process.h"
#include "support/SolverFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

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

// An application delegate wired to a solver and an index manager over recording views, with
// the legacy folder and the shared folder in a temporary folder.
class AppDelegateTest : public ::testing::Test, protected test::SolverFixture {
  protected:
    AppDelegateTest() : SolverFixture(QUINTARVEL_TEST_FIXTURES "/engine") {
        fs::remove(shared()); // start-up makes it
        indexManager = std::make_shared<IndexManagerDelegate>(
            shared(), "http://127.0.0.1:9/4100/", "http://127.0.0.1:9/4200/",
            [](const URLRequest &, std::weak_ptr<URLDownloadDelegate>) { return nullptr; });
        indexManager->setWindow(indexWindow);
        indexManager->setSeries4100(std::make_shared<NoBoxes>());
        indexManager->setSeries4200(std::make_shared<NoBoxes>());
        app = std::make_shared<AppDelegate>(legacy());
        app->setSolver(solver);
        app->setIndexManager(indexManager);
        app->setServiceOptions(
            test::loopbackServiceOptions("Quintarvel test " + std::to_string(getpid())));
        solver->setUserDefaults(std::make_shared<UserDefaults>(std::nullopt));
    }
    ~AppDelegateTest() override { solver->stopServices(); }

    fs::path shared() const { return solver->paths().supportFolder; }
    fs::path legacy() const { return dir / "legacy"; }

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
    writeFile(shared(), "a file where the folder belongs");
    fs::create_directories(legacy());
    writeFile(legacy() / "index-4107.fits", "index");
    EXPECT_EQ(countOf(launch(), "I/O failed "), 1u);
    EXPECT_EQ(readFile(legacy() / "index-4107.fits"), "index");
    EXPECT_EQ(window->fronts, 1);
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
