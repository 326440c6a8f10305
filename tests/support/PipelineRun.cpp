#include "support/PipelineRun.h"

#include "platform/Dispatch.h"

#include <chrono>
#include <future>

namespace quintarvel::test {

void processAndDrain(const std::shared_ptr<SolverDelegate> &solver, const std::string &imagePath,
                     const std::optional<std::string> &outputPath,
                     const OptionalArguments &image2xyOptions,
                     const OptionalArguments &solveFieldOptions,
                     const std::function<void()> &afterDrain) {
    std::promise<void> finished;
    auto ended = finished.get_future();
    globalQueue().async([&] {
        try {
            solver->processImage(imagePath, outputPath, image2xyOptions, solveFieldOptions);
            finished.set_value();
        } catch (...) {
            finished.set_exception(std::current_exception());
        }
    });
    while (ended.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        mainQueue().drainFor(std::chrono::milliseconds(20));
        if (afterDrain)
            afterDrain();
    }
    mainQueue().drain();
    ended.get(); // the pipeline must not throw
}

} // namespace quintarvel::test
