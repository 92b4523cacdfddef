#include "TransferProgress.h"

#include "Managers/DAConnectionManager.h"

namespace ctl {

namespace {

// The running and the closing label of a phase.
std::pair<const char*, const char*> labelsOf(DATransferPhase phase) {
    switch (phase) {
        case DATransferPhase::Digest:
            return {"Checking (MD5)", "Checked"};
        case DATransferPhase::Upload:
            return {"Uploading", "Uploaded"};
        case DATransferPhase::Download:
            return {"Downloading", "Downloaded"};
    }
    return {"Transferring", "Transferred"};
}

}  // namespace

TransferProgress::TransferProgress(DAConnectionManager& manager, ProgressLine& line)
    : manager_(manager), line_(line) {
    if (!line_.enabled()) return;
    ProgressLine* target = &line_;
    manager_.setTransferObserver(
        [target](DATransferPhase phase, std::int64_t done, std::int64_t total) {
            const auto [running, closing] = labelsOf(phase);
            target->begin(running, closing);
            target->update(done, total);
        });
}

TransferProgress::~TransferProgress() {
    if (line_.enabled()) manager_.setTransferObserver(nullptr);
}

}  // namespace ctl
