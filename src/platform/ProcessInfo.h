#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unistd.h>

namespace quintarvel {

// Activities that tell the system the process is doing work the user asked for.
//
// On the desktop this stands in for, an activity keeps the system from throttling an
// application in the background or from idle sleep. A Linux desktop throttles no background
// program, so a background activity (the options in `activityBackground`) needs nothing of the
// system: the token only records the request. Keeping the machine awake (the idle-sleep
// option) would be a logind inhibitor; nothing here asks for it.
class ProcessInfo {
  public:
    static constexpr std::uint64_t activityBackground = 0xFF;

    class Activity {
      public:
        Activity(std::uint64_t options, std::string reason)
            : options_(options), reason_(std::move(reason)) {}
        std::uint64_t options() const { return options_; }
        const std::string &reason() const { return reason_; }

      private:
        std::uint64_t options_;
        std::string reason_;
    };

    // The activity lasts while the token is held.
    std::shared_ptr<Activity> beginActivityWithOptions(std::uint64_t options, std::string reason) {
        return std::make_shared<Activity>(options, std::move(reason));
    }

    // Bytes of memory the machine has; 0 when the system does not say.
    std::uint64_t physicalMemory() const {
        const long pages = ::sysconf(_SC_PHYS_PAGES), pageBytes = ::sysconf(_SC_PAGE_SIZE);
        return pages > 0 && pageBytes > 0 ? std::uint64_t(pages) * std::uint64_t(pageBytes) : 0;
    }
};

} // namespace quintarvel
