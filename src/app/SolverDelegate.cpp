#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/Folders.h"
#include "platform/SystemLog.h"

#include <algorithm>

namespace quintarvel {
namespace {

template <class T> T readGuarded(std::mutex &mutex, const T &field) {
    std::lock_guard lock(mutex);
    return field;
}

template <class T> void writeGuarded(std::mutex &mutex, T &field, T value) {
    std::lock_guard lock(mutex);
    field = std::move(value);
}

} // namespace

SolverPaths SolverPaths::standard() {
    auto temporary = folders::temporaryDirectory();
    if (!temporary)
        fatalError("No private temporary folder: /tmp/quintarvel-<uid> is missing, not ours "
                   "or open to others");
    return SolverPaths{sharedSupportURL(), configurationURL(), *temporary,
                       bundle::auxiliaryExecutablesFolder()};
}

SolverDelegate::SolverDelegate(SolverPaths paths) : paths_(std::move(paths)) {}

SolverDelegate::~SolverDelegate() = default;

std::shared_ptr<Process> SolverDelegate::task() const {
    return readGuarded(stateMutex_, task_);
}
void SolverDelegate::setTask(std::shared_ptr<Process> v) {
    std::lock_guard lock(stateMutex_);
    task_ = std::move(v);
    taskForwardHandle_ = nullptr; // belongs to the run of the task replaced
}
std::string SolverDelegate::status() const {
    return readGuarded(stateMutex_, status_);
}
void SolverDelegate::setStatus(std::string v) {
    writeGuarded(stateMutex_, status_, std::move(v));
}
std::string SolverDelegate::message() const {
    return readGuarded(stateMutex_, message_);
}
void SolverDelegate::setMessage(std::string v) {
    writeGuarded(stateMutex_, message_, std::move(v));
}
std::optional<double> SolverDelegate::raCenter() const {
    return readGuarded(stateMutex_, raCenter_);
}
void SolverDelegate::setRaCenter(std::optional<double> v) {
    writeGuarded(stateMutex_, raCenter_, std::move(v));
}
std::optional<double> SolverDelegate::decCenter() const {
    return readGuarded(stateMutex_, decCenter_);
}
void SolverDelegate::setDecCenter(std::optional<double> v) {
    writeGuarded(stateMutex_, decCenter_, std::move(v));
}
std::optional<double> SolverDelegate::orientation() const {
    return readGuarded(stateMutex_, orientation_);
}
void SolverDelegate::setOrientation(std::optional<double> v) {
    writeGuarded(stateMutex_, orientation_, std::move(v));
}
std::optional<double> SolverDelegate::pixelScale() const {
    return readGuarded(stateMutex_, pixelScale_);
}
void SolverDelegate::setPixelScale(std::optional<double> v) {
    writeGuarded(stateMutex_, pixelScale_, std::move(v));
}
std::optional<long> SolverDelegate::parity() const {
    return readGuarded(stateMutex_, parity_);
}
void SolverDelegate::setParity(std::optional<long> v) {
    writeGuarded(stateMutex_, parity_, std::move(v));
}

SolverDelegate::StatusReport SolverDelegate::statusReport() const {
    std::lock_guard lock(stateMutex_);
    return {status_, message_, raCenter_, decCenter_, orientation_, pixelScale_, parity_};
}

void SolverDelegate::log(const std::string &message, std::optional<Color> color) {
    mainQueue().async(
        [self = shared_from_this(), line = message + "\n",
         color = color.value_or(Color::controlText())] { self->appendLogLine(line, color); });
}

void SolverDelegate::appendLogLine(const std::string &line, const Color &color) {
    if (!logText_)
        return;
    logText_->appendText(line, color);
    logText_->scrollToEndOfDocument();
}

namespace {

std::string withoutLineFeeds(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    return text;
}

} // namespace

void SolverDelegate::done(std::optional<std::string> message) {
    changeStatus(std::move(message), successColor(), "done", true, true);
}

void SolverDelegate::busy(std::optional<std::string> message) {
    changeStatus(std::move(message), warningColor(), "busy", false, false);
}

void SolverDelegate::failed(std::optional<std::string> message) {
    changeStatus(std::move(message), errorColor(), "failed", true, true);
}

void SolverDelegate::runFailed(const std::string &message) {
    {
        std::lock_guard lock(stateMutex_);
        if (claimed_) {
            message_ = withoutLineFeeds(message);
            postStatusChange(message, errorColor(), std::nullopt);
            return;
        }
    }
    failed(message);
}

void SolverDelegate::failedOutsideRequests(const std::string &message) {
    std::lock_guard lock(stateMutex_);
    if (claimed_ || status_ == "busy") {
        postStatusChange(message, errorColor(), std::nullopt);
        return;
    }
    applyStatus(message, errorColor(), "failed", true, true);
}

bool SolverDelegate::claimSolver(const std::string &message) {
    std::lock_guard lock(stateMutex_);
    if (claimed_ || status_ == "busy")
        return false;
    claimed_ = true;
    status_ = "busy";
    message_ = withoutLineFeeds(message);
    postStatusChange(message, warningColor(), false);
    return true;
}

void SolverDelegate::changeStatus(std::optional<std::string> message, const Color &color,
                                  const char *status, bool solveEnabled, bool endsClaim) {
    std::lock_guard lock(stateMutex_);
    applyStatus(std::move(message), color, status, solveEnabled, endsClaim);
}

void SolverDelegate::applyStatus(std::optional<std::string> message, const Color &color,
                                 const char *status, bool solveEnabled, bool endsClaim) {
    if (message)
        message_ = withoutLineFeeds(*message);
    status_ = status;
    if (endsClaim)
        claimed_ = false;
    postStatusChange(std::move(message), color, solveEnabled);
}

void SolverDelegate::postStatusChange(std::optional<std::string> message, const Color &color,
                                      std::optional<bool> solveEnabled) {
    mainQueue().async(
        [self = shared_from_this(), message = std::move(message), color, solveEnabled] {
            // Appended here rather than posted again: a second block would land behind
            // output lines posted meanwhile, showing a command line below its own output.
            if (message)
                self->appendLogLine(*message + "\n", color);
            if (!solveEnabled)
                return;
            for (const auto &control : {self->solveMenu_, self->solveButton_})
                if (control)
                    control->setEnabled(*solveEnabled);
            for (const auto &control : {self->abortMenu_, self->abortButton_})
                if (control)
                    control->setEnabled(!*solveEnabled);
        });
}

} // namespace quintarvel
