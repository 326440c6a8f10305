// The named-pipe request loop: SolverDelegate::listenForIPCRequests.
#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "app/LineIO.h"
#include "app/SolvePipeline.h"
#include "http/HttpServerIO.h"
#include "platform/FileHandle.h"
#include "platform/Utf8.h"
#include "service/SolverServices.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quintarvel {
namespace {

constexpr std::string_view terminator = "<<<EOF>>>";

// What one request may hold before its terminator. The rest of a larger one is read and
// dropped, so memory stays bounded whatever a client sends.
constexpr std::size_t requestByteLimit = std::size_t(1) << 20;
constexpr std::size_t requestLineLimit = 4096;
constexpr const char *tooLargeAnswer = "message: Request too large (at most 1 MiB and 4096 lines)";

// How often the loop looks again while a client is connected but sends nothing, or a whole
// request waits for its reader: a reader of "response" needs the loop's writer, which the
// loop can only try for; and a stop must be seen.
constexpr int responseRetryMilliseconds = 10;
constexpr int idleRetryMilliseconds = 50;
// How long a client still holding "request" after its answer has to read that answer's end
// before the loop may open "response" for a client that has not written yet. Generous: a
// writer opened too soon hides the end from the reader, and both would wait for good.
constexpr auto answerEndGrace = std::chrono::seconds(1);

// Opens a pipe, waiting for its other end as FIFOs do. None, with errno set, when it cannot
// be opened or is no FIFO: a plain file in its place would answer every open at once and read
// as an empty request, and the loop would spin on it.
std::unique_ptr<FileHandle> openPipe(const std::filesystem::path &path, int flags) {
    int fd;
    do
        fd = ::open(path.c_str(), flags | O_CLOEXEC);
    while (fd == -1 && errno == EINTR);
    if (fd == -1)
        return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return nullptr;
    }
    return std::make_unique<FileHandle>(fd);
}

void setBlocking(int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1)
        ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

// The loop's end of "response". A client may open it before or after it writes its request,
// so the loop never waits in its open: it takes it while it reads the request, or, once the
// request is whole, looks for it until the reader's grace has passed.
class ResponsePipe {
  public:
    enum class Open { opened, noReader, failed };

    explicit ResponsePipe(std::filesystem::path path) : path_(std::move(path)) {}

    bool isOpen() const { return handle_ != nullptr; }
    FileHandle &handle() { return *handle_; }
    // Every write to the pipe opened next gives up after `limit` without progress.
    void setWriteIdleLimit(std::chrono::milliseconds limit) { writeIdleLimit_ = limit; }

    // Succeeds only when a reader is there, or waits in its own open.
    Open tryOpen() {
        if (handle_)
            return Open::opened;
        auto handle = openPipe(path_, O_WRONLY | O_NONBLOCK);
        if (!handle)
            return errno == ENXIO ? Open::noReader : Open::failed;
        handle->setWriteIdleLimit(writeIdleLimit_);
        handle_ = std::move(handle);
        return Open::opened;
    }

    void close() {
        if (handle_ && handle_->writesAbandoned())
            replace();
        handle_.reset();
    }

  private:
    // An answer given up for a reader that stopped reading stays in the pipe for as long as
    // that reader holds it open, and whoever opened "response" next would read its rest and
    // share the pipe with the stalled reader. A fresh pipe takes the name; the stalled reader
    // keeps the old one to itself and finds its end once it reads on.
    void replace() {
        auto fresh = path_;
        fresh.replace_filename(".response-fresh");
        ::unlink(fresh.c_str());
        if (::mkfifo(fresh.c_str(), 0666) == 0 && ::rename(fresh.c_str(), path_.c_str()) != 0)
            ::unlink(fresh.c_str());
    }

    std::filesystem::path path_;
    std::chrono::milliseconds writeIdleLimit_{};
    std::unique_ptr<FileHandle> handle_;
};

// One opening's worth of request text, as far as the terminator.
struct PipeRequest {
    enum class End { nothing, cutShort, whole, stopped };
    End end = End::nothing;
    std::vector<std::string> lines; // without the terminator
    bool tooLarge = false;
    std::string after; // bytes read past the terminator: the start of the next request
};

// Line feeds right after a terminator end the request it closed, as `echo`, a here-document
// or a second `printf` leave them: they never begin another client's request.
std::string_view withoutBlankTail(std::string_view bytes) {
    return bytes.substr(std::min(bytes.find_first_not_of('\n'), bytes.size()));
}

// Reads a request from `request` (non-blocking) up to its terminator or the end of input.
// A client may open "response" before it writes, so the response pipe is tried before the
// first byte, from `responseFrom` on. Right after an answer that is later: a client still
// reading that answer must see it end before any writer opens "response" again.
// `afterTerminator`: this opening has had a request already, whose blank tail may still come.
PipeRequest readRequest(FileHandle &request, ResponsePipe &response,
                        std::chrono::steady_clock::time_point responseFrom,
                        const std::function<bool()> &stopping, std::string_view already,
                        bool afterTerminator) {
    PipeRequest got;
    std::string line;
    std::size_t bytes = 0;
    bool any = false;
    char buffer[65536];
    // Takes the bytes in; true once the terminator has come.
    const auto take = [&](std::string_view rest) {
        if (afterTerminator && !any)
            rest = withoutBlankTail(rest);
        any = any || !rest.empty();
        while (!rest.empty()) {
            const auto feed = rest.find('\n');
            const auto piece = rest.substr(0, feed);
            bytes += piece.size() + (feed == std::string_view::npos ? 0 : 1);
            if (bytes > requestByteLimit && !got.tooLarge) {
                got.tooLarge = true;
                got.lines = {};
            }
            // Past the limit only enough of a line is kept to tell the terminator.
            if (!got.tooLarge || line.size() + piece.size() <= terminator.size())
                line.append(piece);
            else
                line.assign(terminator.size() + 1, ' ');
            if (feed == std::string_view::npos)
                return false;
            rest.remove_prefix(feed + 1);
            if (line == terminator) {
                got.after.assign(withoutBlankTail(rest));
                return true;
            }
            if (!got.tooLarge) {
                got.lines.push_back(std::move(line));
                if (got.lines.size() > requestLineLimit) {
                    got.tooLarge = true;
                    got.lines = {};
                }
            }
            line.clear();
        }
        return false;
    };
    if (take(already)) {
        got.end = PipeRequest::End::whole;
        return got;
    }
    for (;;) {
        if (stopping()) {
            got.end = PipeRequest::End::stopped;
            return got;
        }
        const bool wantResponse =
            !response.isOpen() && (any || std::chrono::steady_clock::now() >= responseFrom);
        if (wantResponse)
            response.tryOpen();
        const ssize_t n = ::read(request.fileDescriptor(), buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            got.end = any ? PipeRequest::End::cutShort : PipeRequest::End::nothing;
            return got;
        }
        if (n < 0) {
            if (errno == EAGAIN) {
                pollfd ready{request.fileDescriptor(), POLLIN, 0};
                ::poll(&ready, 1, wantResponse ? responseRetryMilliseconds : idleRetryMilliseconds);
            }
            continue;
        }
        if (take(std::string_view(buffer, std::size_t(n)))) {
            got.end = PipeRequest::End::whole;
            return got;
        }
    }
}

void answer(FileHandle &response, std::string_view line) {
    writeLine(response, line);
    writeLine(response, terminator);
}

// A request cut short, or holding a line that is not UTF-8 text, gets nothing back and ends
// "failed" without a message, unless another request holds the solver.
void failUnanswered(SolverDelegate &solver) {
    if (solver.claimSolver("\nProcessing IPC request"))
        solver.failed();
}

// One whole request, the response pipe open. `claimed` is set while the request holds the
// solver, so that the caller can end it should this throw.
void serveRequest(SolverDelegate &solver, const PipeRequest &request, FileHandle &response,
                  bool &claimed) {
    if (request.tooLarge) {
        answer(response, tooLargeAnswer);
        return;
    }
    for (const auto &line : request.lines)
        if (!isValidUtf8(line)) {
            failUnanswered(solver);
            return;
        }
    if (!solver.claimSolver("\nProcessing IPC request")) {
        answer(response, "message: Solver is busy");
        return;
    }
    claimed = true;
    if (request.lines.empty()) {
        answer(response, "message: Invalid request");
        solver.failed("Invalid request");
        claimed = false;
        return;
    }

    const std::string &program = request.lines.front();
    const std::vector<std::string> arguments(request.lines.begin() + 1, request.lines.end());
    const auto start = std::chrono::steady_clock::now();
    try {
        solver.run(program, arguments, &response);
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        solver.done(pipeline::doneMessage(elapsed.count()));
    } catch (...) {
        // The runner has logged its own red line.
        solver.failed("Failed to execute " + program);
    }
    claimed = false;
    writeLine(response, terminator);
}

// Reads what "request" holds now behind a whole request, without waiting: the bytes of another
// request are kept in `after`, and true is returned; the blank tail of the request before goes.
// At the end of input (every writer has closed it) the loop's end goes too, so that the next
// writer waits in its own open rather than write behind a request still unanswered.
bool takeWaitingBytes(std::unique_ptr<FileHandle> &request, std::string &after) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(request->fileDescriptor(), buffer, sizeof buffer);
        if (n > 0) {
            const std::string_view bytes(buffer, std::size_t(n));
            after.append(after.empty() ? withoutBlankTail(bytes) : bytes);
            if (!after.empty())
                return true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN)
            request.reset();
        return false;
    }
}

enum class ReaderWait { came, superseded, gone, failed, stopped };

// Waits, for at most `grace`, for the client of a whole request to open "response" (a client
// that opened it first is there already), watching "request" meanwhile. No client writes its
// next request before it has read its answer, so bytes behind a request that is not being
// answered yet, but for its blank tail, are another client's: its own client has gone, and a
// reader that came is theirs (one that writes and then opens "response" has its bytes there
// before its reader).
ReaderWait awaitReader(std::unique_ptr<FileHandle> &request, ResponsePipe &response,
                       std::chrono::milliseconds grace, const std::function<bool()> &stopping,
                       std::string &after) {
    const auto deadline = std::chrono::steady_clock::now() + grace;
    for (;;) {
        if (stopping())
            return ReaderWait::stopped;
        if (!after.empty() || (request && takeWaitingBytes(request, after)))
            return ReaderWait::superseded;
        switch (response.tryOpen()) {
        case ResponsePipe::Open::opened:
            return request && takeWaitingBytes(request, after) ? ReaderWait::superseded
                                                               : ReaderWait::came;
        case ResponsePipe::Open::failed:
            return ReaderWait::failed;
        case ResponsePipe::Open::noReader:
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return ReaderWait::gone;
        pollfd ready{request ? request->fileDescriptor() : -1, POLLIN, 0};
        ::poll(&ready, 1, responseRetryMilliseconds);
    }
}

// An answer nobody came for: its program is not run and the solver is not claimed.
void logDropped(SolverDelegate &solver, const PipeRequest &request, std::string_view why) {
    std::string text = "Dropped IPC request";
    // The name is the client's text: shown only when it is text.
    if (!request.lines.empty() && !request.lines.front().empty() &&
        isValidUtf8(request.lines.front()))
        text += " for " + request.lines.front();
    solver.log(text + ": " + std::string(why), errorColor());
}

} // namespace

namespace detail {

void wakePipeLoop(const std::filesystem::path &supportFolder) {
    // Never waits: a writer open fails at once (ENXIO) while nobody reads, and a reader open
    // of a FIFO always succeeds. An opened end counts as a client for a blocked open even
    // after it is closed again.
    for (const auto &[name, flags] :
         {std::pair{"request", O_WRONLY}, std::pair{"response", O_RDONLY}}) {
        const int fd = ::open((supportFolder / name).c_str(), flags | O_NONBLOCK | O_CLOEXEC);
        if (fd != -1)
            ::close(fd);
    }
}

} // namespace detail

static_assert(SolverDelegate::PipeLimits{}.writeIdleLimit == HttpServerIO::defaultIdleTimeout,
              "a pipe reader is given as long as an HTTP client");

void SolverDelegate::setPipeLimits(const PipeLimits &limits) {
    auto &state = services();
    std::lock_guard lock(state.mutex);
    state.pipeLimits = limits;
}

void SolverDelegate::listenForIPCRequests() {
    auto &state = services();
    state.pipeLoopBegins();
    struct EndMark {
        Services &state;
        ~EndMark() { state.pipeLoopEnds(); }
    } endMark{state};
    if (state.isStopping())
        return;

    log("IPC listener started", successColor());
    const auto requestPath = paths_.supportFolder / "request";
    const auto responsePath = paths_.supportFolder / "response";
    ::mkfifo(requestPath.c_str(), 0666);
    ::mkfifo(responsePath.c_str(), 0666);
    const auto stopping = [&state] { return state.isStopping(); };

    // The request pipe stays open while a client still holds its writing end after the
    // answer: what it writes next is its next request, and its end of input is no request.
    // It goes once the loop has seen every writer close it, so that the next one waits in its
    // own open.
    std::unique_ptr<FileHandle> request;
    ResponsePipe response(responsePath);
    auto responseFrom = std::chrono::steady_clock::now();
    std::string next; // bytes that came after the last request's terminator
    for (;;) {
        const bool afterTerminator = request != nullptr;
        if (!request) {
            next.clear(); // a writer that has gone never lends its bytes to the next one
            request = openPipe(requestPath, O_RDONLY);
            if (state.isStopping())
                return;
            if (!request)
                break;
            setBlocking(request->fileDescriptor(), false);
            responseFrom = std::chrono::steady_clock::now();
        }
        const auto limits = state.currentPipeLimits();
        response.setWriteIdleLimit(limits.writeIdleLimit);
        bool claimed = false;
        try {
            auto got = readRequest(*request, response, responseFrom, stopping,
                                   std::exchange(next, {}), afterTerminator);
            next = std::move(got.after);
            switch (got.end) {
            case PipeRequest::End::stopped:
                return;
            case PipeRequest::End::nothing:
                request.reset();
                response.close();
                continue;
            case PipeRequest::End::cutShort:
                // The client went away before its terminator: it gets nothing back.
                failUnanswered(*this);
                request.reset();
                response.close();
                continue;
            case PipeRequest::End::whole:
                break;
            }
            const auto wait = awaitReader(request, response, limits.readerGrace, stopping, next);
            if (wait == ReaderWait::stopped)
                return;
            if (wait == ReaderWait::failed)
                break;
            if (wait != ReaderWait::came) {
                // A reader that came with the next request's bytes stays open for it.
                logDropped(*this, got,
                           wait == ReaderWait::superseded ? "another request came before its reader"
                                                          : "nobody opened response");
                continue;
            }
            if (state.isStopping())
                return;
            serveRequest(*this, got, response.handle(), claimed);
        } catch (const std::exception &error) {
            if (claimed)
                failed(std::string("Failed to process IPC request: ") + error.what());
            request.reset();
            response.close();
            continue;
        }

        // A client that has closed "request" may at once open it for its next request; while
        // our old reader were still open that open would succeed against it and the bytes be
        // lost when it closes, so the request end goes first. A client that still holds it
        // open is reading its answer: the answer ends for it when "response" closes.
        if (request && next.empty())
            takeWaitingBytes(request, next);
        response.close();
        if (request)
            responseFrom = std::chrono::steady_clock::now() + answerEndGrace;
    }
    failedOutsideRequests("Failed to create named pipe for interprocess communication");
}

} // namespace quintarvel
