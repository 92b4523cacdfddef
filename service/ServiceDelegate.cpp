#include "service/ServiceDelegate.h"

#include "service/DADiagnosticsSessionAvailability.h"

bool ServiceDelegate::listener(VxListener& listener,
                               VxListenerConnection& shouldAcceptNewConnection) {
    (void)listener;
    shouldAcceptNewConnection.setExportedInterface(
        DADiagnosticsSessionAvailabilityProtocolInterface());
    shouldAcceptNewConnection.setExportedObject(
        std::make_shared<DADiagnosticsSessionAvailability>());
    shouldAcceptNewConnection.resume();
    return true;
}
