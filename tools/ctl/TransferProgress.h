#pragma once
// Connects the connection manager's transfer reports to a progress line for
// the lifetime of one transfer.

#include "Progress.h"

class DAConnectionManager;

namespace ctl {

class TransferProgress {
  public:
    TransferProgress(DAConnectionManager& manager, ProgressLine& line);
    ~TransferProgress();
    TransferProgress(const TransferProgress&) = delete;
    TransferProgress& operator=(const TransferProgress&) = delete;

  private:
    DAConnectionManager& manager_;
    ProgressLine& line_;
};

}  // namespace ctl
