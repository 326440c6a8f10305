// The main window's actions, the manual request and the version lines at window load.
#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "app/LineIO.h"
#include "platform/Dispatch.h"
#include "platform/FileHandle.h"
#include "platform/Pipe.h"
#include "platform/Process.h"

#include <condition_variable>
#include <system_error>

namespace quintarvel {
namespace {

constexpr const char *removeCreatedFilesKey = "removeCreatedFiles";
constexpr const char *writeWCSHeadersKey = "writeWCSHeaders";

// The first line "solve-field --version" prints; nothing when it cannot be started or prints
// no line. Standard error stays the application's own.
std::optional<std::string> engineVersion(const std::filesystem::path &solveField) {
    try {
        Process process;
        auto pipe = std::make_shared<Pipe>();
        process.setLaunchPath(solveField);
        process.setArguments({"--version"});
        process.setStandardOutput(pipe);
        process.launch();
        // The program is neither waited for nor stopped: Process reaps it when it ends.
        return readLine(pipe->fileHandleForReading());
    } catch (const std::system_error &) {
        return std::nullopt;
    }
}

} // namespace

std::shared_ptr<UserDefaults> SolverDelegate::userDefaults() const {
    return userDefaults_ ? userDefaults_ : UserDefaults::standard();
}

void SolverDelegate::awakeFromNib() {
    log("Quintarvel " + appShortVersion() + "-" + appBuildVersion(), successColor());

    // Whoever sees the answer last reports it: the main thread when it came in time, the
    // reading task when the main thread stopped waiting.
    struct VersionRead {
        std::mutex mutex; // guards every field below
        std::condition_variable finished;
        bool done = false;
        bool abandoned = false;
        std::optional<std::string> line;
    };
    auto read = std::make_shared<VersionRead>();
    // A late answer only logs: a request may have claimed the solver meanwhile.
    auto report = [self = shared_from_this()](const std::optional<std::string> &line, bool late) {
        if (line)
            self->log("Quintarvel.net engine " + *line, successColor());
        else if (late)
            self->log("Failed to execute Quintarvel.net engine", errorColor());
        else
            self->failed("Failed to execute Quintarvel.net engine");
    };
    globalQueue().async([read, report, solveField = paths_.enginesFolder / "solve-field"] {
        auto line = engineVersion(solveField);
        bool reportHere;
        {
            std::lock_guard lock(read->mutex);
            read->line = line;
            read->done = true;
            reportHere = read->abandoned;
        }
        read->finished.notify_all();
        if (reportHere)
            report(line, true);
    });

    std::unique_lock lock(read->mutex);
    if (!read->finished.wait_for(lock, engineVersionWait, [&] { return read->done; })) {
        read->abandoned = true;
        return;
    }
    const auto line = read->line;
    lock.unlock();
    report(line, false);
}

void SolverDelegate::solve(const void *) {
    if (!openPanelFactory_ || !window_)
        return;
    auto panel = openPanelFactory_();
    if (!panel)
        return;
    panel->setCanChooseFiles(true);
    panel->setPrompt("Select image file");
    panel->setAllowedFileTypes(
        {"fit", "fits", "jpeg", "jpg", "png", "tif", "tiff", "raw", "nef", "cr2"});
    // The handler keeps the panel until it has run; the panel then lets go of the handler.
    panel->beginSheetModalForWindow(*window_, [self = shared_from_this(), panel](int response) {
        self->manualRequestChosen(response, *panel);
    });
}

void SolverDelegate::abort(const void *) {
    const auto running = task();
    if (!running)
        return;
    running->terminate();
    // A write of its output waiting for a reader would otherwise hold the run until the
    // write's idle limit. Under the lock: a run lets go of its handle under it.
    std::lock_guard lock(stateMutex_);
    if (task_ == running && taskForwardHandle_)
        taskForwardHandle_->interruptWrites();
}

void SolverDelegate::show(const void *) {
    restoreState();
}

void SolverDelegate::saveState(const void *) {
    auto defaults = userDefaults();
    defaults->setBool(removeFilesButton_ && removeFilesButton_->state() == CheckBox::on,
                      removeCreatedFilesKey);
    defaults->setBool(writeWCSHeadersButton_ && writeWCSHeadersButton_->state() == CheckBox::on,
                      writeWCSHeadersKey);
}

void SolverDelegate::restoreState() {
    auto defaults = userDefaults();
    if (removeFilesButton_)
        removeFilesButton_->setState(defaults->boolForKey(removeCreatedFilesKey) ? CheckBox::on
                                                                                 : CheckBox::off);
    if (writeWCSHeadersButton_)
        writeWCSHeadersButton_->setState(defaults->boolForKey(writeWCSHeadersKey) ? CheckBox::on
                                                                                  : CheckBox::off);
    if (window_)
        window_->makeKeyAndOrderFront();
}

void SolverDelegate::manualRequestChosen(int response, const OpenPanel &panel) {
    if (response != modalResponseOK)
        return;
    const auto image = panel.URL();
    if (!image)
        return;
    // A remote request may have taken the solver while the panel was open: two solves at once
    // would mix their results and leave the first one out of reach of abort.
    if (!claimSolver("\nProcessing manual request")) {
        log("\nSolver busy", errorColor());
        return;
    }
    // The stored value decides, not the box: the box reaches the defaults only by saveState.
    if (!userDefaults()->boolForKey(writeWCSHeadersKey)) {
        solveImage(image->string());
        return;
    }
    auto output = savePanelFactory_ && window_ ? savePanelFactory_() : nullptr;
    if (!output) {
        failed("\nNo output file chosen");
        return;
    }
    output->setDirectoryURL(panel.directoryURL());
    output->setNameFieldStringValue(image->stem().string() + "_wcs");
    output->setAllowedFileTypes({"fits"});
    output->setPrompt("Select output file");
    output->beginSheetModalForWindow(
        *window_, [self = shared_from_this(), output, image = *image](int response) {
            self->outputFileChosen(response, *output, image);
        });
}

void SolverDelegate::outputFileChosen(int response, const SavePanel &panel,
                                      const std::filesystem::path &imageURL) {
    const auto output = panel.URL();
    if (response != modalResponseOK || !output) {
        // The request marked the solver busy; with no solve to end it, end it here.
        failed("\nNo output file chosen");
        return;
    }
    // new-wcs reads the FITS image while it writes the output: writing over the image
    // itself would destroy it.
    std::error_code error;
    if (std::filesystem::equivalent(*output, imageURL, error)) {
        failed("\nThe output file must not be the image itself");
        return;
    }
    solveImage(imageURL.string(), output->string());
}

} // namespace quintarvel
