#pragma once

#include "app/SolverDelegate.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quintarvel::test {

using OptionalArguments = std::optional<std::vector<std::string>>;

// Runs the solve pipeline on the default global queue, as solveImage does, and meanwhile
// drains the main queue on this thread, calling `afterDrain` after each round, until the
// pipeline has ended, clean-up included; then drains once more for the last log lines.
void processAndDrain(const std::shared_ptr<SolverDelegate> &solver, const std::string &imagePath,
                     const std::optional<std::string> &outputPath = std::nullopt,
                     const OptionalArguments &image2xyOptions = std::nullopt,
                     const OptionalArguments &solveFieldOptions = std::nullopt,
                     const std::function<void()> &afterDrain = nullptr);

} // namespace quintarvel::test
