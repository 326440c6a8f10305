// The engine runner: SolverDelegate::run.
#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "app/EngineRunError.h"
#include "app/LineIO.h"
#include "platform/Pipe.h"
#include "platform/Process.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <locale.h>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace quintarvel {
namespace {

enum class ResultField { raCenter, decCenter, orientation, pixelScale, parity, none };

struct ResultLine {
    std::string_view prefix;
    ResultField field;
};

// Tried in this order; the first prefix the line begins with decides. All are logged green.
constexpr ResultLine resultLines[] = {
    {"ra_center ", ResultField::raCenter},      {"dec_center ", ResultField::decCenter},
    {"orientation ", ResultField::orientation}, {"pixscale ", ResultField::pixelScale},
    {"parity ", ResultField::parity},           {"Field center:", ResultField::none},
    {"Field size:", ResultField::none},         {"Field rotation angle:", ResultField::none},
    {"Field parity:", ResultField::none},
};

// The whole piece as a number in strtod's syntax. The C locale is fixed: the GUI toolkit
// sets the user's locale, which may read "12,5" as a number.
std::optional<double> posixNumber(std::string_view piece) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
    constexpr std::string_view whiteSpace = " \t\n\v\f\r";
    // strtod skips leading white space; a piece with any is no number.
    if (piece.empty() || whiteSpace.find(piece.front()) != std::string_view::npos)
        return std::nullopt;
    const std::string text(piece);
    char *end = nullptr;
    const double value = strtod_l(text.c_str(), &end, cLocale);
    if (end != text.c_str() + text.size())
        return std::nullopt;
    return value;
}

// The second piece of the line split at blanks (U+0020 only, empty pieces dropped), read as
// a number. Nothing when there is no second piece or it is no number.
std::optional<double> lineValue(std::string_view line) {
    int index = 0;
    std::size_t position = 0;
    while (position < line.size()) {
        if (line[position] == ' ') {
            ++position;
            continue;
        }
        std::size_t end = line.find(' ', position);
        if (end == std::string_view::npos)
            end = line.size();
        if (index == 1)
            return posixNumber(line.substr(position, end - position));
        ++index;
        position = end;
    }
    return std::nullopt;
}

// A program name must name a file inside the engines folder, nothing beyond it.
std::optional<std::string> refusalOf(const std::string &program) {
    if (program.empty())
        return "no program name";
    if (program.find('/') != std::string::npos || program.find("..") != std::string::npos ||
        program == ".")
        return "not a plain program name";
    if (program.find('\0') != std::string::npos)
        return "the name holds a zero byte";
    return std::nullopt;
}

[[noreturn]] void notStarted(SolverDelegate &solver, const std::string &program,
                             const std::string &reason) {
    std::string text = "Cannot run \"" + program + "\": " + reason;
    solver.runFailed(text);
    throw EngineRunError(EngineRunError::Case::notStarted, text);
}

// Reads on to the end of output without decoding, so a program whose output stopped being
// text is never left blocked on a full pipe.
void drainToEnd(FileHandle &handle) {
    while (!handle.readDataOfLength(65536).empty()) {
    }
}

} // namespace

void SolverDelegate::run(const std::string &program, const std::vector<std::string> &arguments,
                         FileHandle *forwardHandle) {
    std::string commandLine = "\n" + program;
    for (const auto &argument : arguments)
        commandLine += " " + argument;
    busy(commandLine);

    if (auto refusal = refusalOf(program))
        notStarted(*this, program, *refusal);
    const auto path = paths_.enginesFolder / program;
    if (::access(path.c_str(), X_OK) != 0) {
        const int error = errno;
        notStarted(*this, program,
                   error == ENOENT ? "no such program in " + paths_.enginesFolder.string()
                                   : std::generic_category().message(error));
    }

    auto process = std::make_shared<Process>();
    {
        std::lock_guard lock(stateMutex_);
        task_ = process;
        taskForwardHandle_ = forwardHandle;
    }
    // abort reaches the forward handle only while the run lasts; the handle is the caller's.
    struct ForwardRelease {
        SolverDelegate &solver;
        const std::shared_ptr<Process> &process;
        ~ForwardRelease() {
            std::lock_guard lock(solver.stateMutex_);
            if (solver.task_ == process)
                solver.taskForwardHandle_ = nullptr;
        }
    } forwardRelease{*this, process};
    auto clearTask = [this, &process] {
        // Another run may have started since; its program stays abortable.
        std::lock_guard lock(stateMutex_);
        if (task_ == process) {
            task_.reset();
            taskForwardHandle_ = nullptr;
        }
    };
    std::shared_ptr<Pipe> output;
    try {
        output = std::make_shared<Pipe>();
        process->setLaunchPath(path);
        process->setCurrentDirectory(paths_.supportFolder);
        process->setEnvironment({{"TMP", paths_.temporaryFolder}});
        process->setArguments(arguments);
        process->setStandardOutput(output);
        process->setStandardError(output);
        process->launch();
    } catch (const std::system_error &e) {
        clearTask();
        std::error_code ec;
        if (e.code().value() == ENOENT && !std::filesystem::is_directory(paths_.supportFolder, ec))
            notStarted(*this, program, "no working folder " + paths_.supportFolder.string());
        notStarted(*this, program, e.code().message());
    }

    FileHandle &reading = output->fileHandleForReading();
    bool forwardAbandoned = false;
    while (auto line = readLine(reading)) {
        if (!line->empty()) {
            std::optional<Color> color;
            for (const auto &result : resultLines) {
                if (!line->starts_with(result.prefix))
                    continue;
                color = successColor();
                switch (result.field) {
                case ResultField::raCenter:
                    setRaCenter(lineValue(*line));
                    break;
                case ResultField::decCenter:
                    setDecCenter(lineValue(*line));
                    break;
                case ResultField::orientation:
                    setOrientation(lineValue(*line));
                    break;
                case ResultField::pixelScale:
                    setPixelScale(lineValue(*line));
                    break;
                case ResultField::parity:
                    // nan compares false with 0, so it gives 0 like a negative value.
                    if (auto value = lineValue(*line))
                        setParity(*value >= 0 ? 1 : 0);
                    break;
                case ResultField::none:
                    break;
                }
                break;
            }
            log(*line, color);
        }
        if (forwardHandle && !forwardAbandoned) {
            writeLine(*forwardHandle, *line);
            // Its reader stopped reading, or abort came: the program would soon block on its
            // output, holding the solver.
            if (forwardHandle->writesAbandoned()) {
                forwardAbandoned = true;
                process->terminate();
            }
        }
    }
    drainToEnd(reading);
    // A failed run stays in `task`; its output end need not stay open with it.
    reading.closeFile();

    // Blocks until the program has exited, however long after its output ended.
    const int status = process->waitUntilExit();
    if (status == 0 && !forwardAbandoned) {
        busy(program + " done");
        clearTask();
        return;
    }
    // Output that could not all be forwarded makes an aborted run, even one that ended well.
    if (status == 15 || status == 0) {
        const std::string text = program + " aborted";
        runFailed(text);
        throw EngineRunError(EngineRunError::Case::aborted, text);
    }
    const std::string text = program + " terminated (status " + std::to_string(status) + ")";
    runFailed(text);
    throw EngineRunError(EngineRunError::Case::terminated, text);
}

} // namespace quintarvel
