#pragma once

#include "platform/SavePanel.h"

namespace quintarvel {

// A panel that asks the user for an existing file; a save panel that chooses instead of
// naming. Main thread only.
class OpenPanel : public SavePanel {
  public:
    virtual void setCanChooseFiles(bool canChoose) = 0;
};

using OpenPanelFactory = std::function<std::shared_ptr<OpenPanel>()>;

} // namespace quintarvel
