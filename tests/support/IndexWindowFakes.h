#pragma once

#include "app/IndexManagerDelegate.h"
#include "support/FakeFormViews.h"
#include "support/FakeViews.h"

#include <memory>

namespace quintarvel::test {

// Recording stand-ins for every outlet of the index window, Abort starting disabled.
struct IndexWindowFakes {
    void connect(IndexManagerDelegate &manager) const {
        manager.setWindow(window);
        manager.setSeries4100(series4100);
        manager.setSeries4200(series4200);
        manager.setGoButton(goButton);
        manager.setAbortButton(abortButton);
        manager.setQueueIndicator(queueIndicator);
        manager.setFileIndicator(fileIndicator);
        manager.setStatusText(statusText);
    }

    std::shared_ptr<FakeWindow> window = std::make_shared<FakeWindow>();
    std::shared_ptr<FakeCheckBoxContainer> series4100 = std::make_shared<FakeCheckBoxContainer>();
    std::shared_ptr<FakeCheckBoxContainer> series4200 = std::make_shared<FakeCheckBoxContainer>();
    std::shared_ptr<FakeControl> goButton = std::make_shared<FakeControl>("go", nullptr);
    std::shared_ptr<FakeControl> abortButton =
        std::make_shared<FakeControl>("abort", nullptr, false);
    std::shared_ptr<FakeLevelIndicator> queueIndicator = std::make_shared<FakeLevelIndicator>();
    std::shared_ptr<FakeLevelIndicator> fileIndicator = std::make_shared<FakeLevelIndicator>();
    std::shared_ptr<FakeTextField> statusText = std::make_shared<FakeTextField>();
};

} // namespace quintarvel::test
