// The named-pipe request loop: SolverDelegate::listenForIPCRequests.
#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "app/LineIO.h"
#include "app/SolvePipeline.h"
#include "platform/FileHandle.h"
#include "service/SolverServices.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quintarvel {
namespace {

constexpr const char *terminator = "<<<EOF>>>";

// Opens a pipe, waiting for its other end as FIFOs do. None when it cannot be opened or is
// no FIFO: a plain file in its place would answer every open at once and read as an empty
// request, and the loop would spin on it.
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
        return nullptr;
    }
    return std::make_unique<FileHandle>(fd);
}

void answer(FileHandle &response, const std::string &line) {
    writeLine(response, line);
    writeLine(response, terminator);
}

// One request of a client that has opened both pipes. Both are closed by the caller,
// the request pipe first.
void serveRequest(SolverDelegate &solver, FileHandle &request, FileHandle &response) {
    if (!solver.claimSolver()) {
        answer(response, "message: Solver is busy");
        return;
    }
    solver.busy("\nProcessing IPC request");

    std::vector<std::string> lines;
    for (;;) {
        auto line = readLine(request);
        if (!line) {
            // The client went away before its terminator: it gets nothing back.
            solver.failed();
            return;
        }
        if (*line == terminator)
            break;
        lines.push_back(std::move(*line));
    }
    if (lines.empty()) {
        answer(response, "message: Invalid request");
        solver.failed("Invalid request");
        return;
    }

    const std::string program = lines.front();
    const std::vector<std::string> arguments(lines.begin() + 1, lines.end());
    const auto start = std::chrono::steady_clock::now();
    try {
        solver.run(program, arguments, &response);
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        solver.done(pipeline::doneMessage(elapsed.count()));
    } catch (...) {
        // The runner has logged its own red line.
        solver.failed("Failed to execute " + program);
    }
    writeLine(response, terminator);
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

    for (;;) {
        auto request = openPipe(requestPath, O_RDONLY);
        if (state.isStopping())
            return;
        if (!request)
            break;
        auto response = openPipe(responsePath, O_WRONLY);
        if (state.isStopping())
            return;
        if (!response)
            break;
        serveRequest(*this, *request, *response);
        // The request end goes first: a client that has read its answer to the end may at
        // once open "request" for its next request, and while our old reader were still
        // open that open would succeed against it and the bytes be lost when it closes.
        request.reset();
        response.reset();
    }
    failed("Failed to create named pipe for interprocess communication");
}

} // namespace quintarvel
