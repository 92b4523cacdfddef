#pragma once
// Accepts every client of the service and gives it a fresh availability object.

#include "platform/bus/VxServiceListener.h"
#include "platform/foundation/VxExport.h"

class DA_EXPORT ServiceDelegate : public VxListenerDelegate {
  public:
    // listener:shouldAcceptNewConnection: exports the availability interface and
    // a new DADiagnosticsSessionAvailability on the connection, resumes it and
    // accepts. The connecting peer is not inspected.
    bool listener(VxListener& listener, VxListenerConnection& shouldAcceptNewConnection) override;
};
