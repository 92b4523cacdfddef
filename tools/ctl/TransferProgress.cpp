#include "TransferProgress.h"

#include "Managers/DAConnectionManager.h"

namespace ctl {

TransferProgress::TransferProgress(DAConnectionManager& manager, ProgressLine& line)
    : manager_(manager), line_(line) {}

TransferProgress::~TransferProgress() = default;

}  // namespace ctl
