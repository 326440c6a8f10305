#include "app/EngineRunError.h"

namespace quintarvel {

const char *EngineRunError::domain() const {
    switch (case_) {
    case Case::aborted:
        return "aborted";
    case Case::terminated:
        return "terminated";
    case Case::notStarted:
        break;
    }
    return "not started";
}

} // namespace quintarvel
