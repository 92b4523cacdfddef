#include "platform/bus/VxServiceClient.h"

#include <sdbus-c++/sdbus-c++.h>
#include <vector>

struct VxServiceClient::Impl {
    std::string busAddress;
    VxServiceEndpoint endpoint;
    mutable std::mutex mutex;
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IProxy> proxy;

    bool open(std::string& error) {
        if (connection) return true;
        const VxBusChoice choice = vxChooseBus(busAddress, false);
        if (!choice.error.empty()) {
            error = choice.error;
            return false;
        }
        try {
            if (choice.kind == VxBusChoice::Kind::system) {
                connection = sdbus::createSystemBusConnection();
            } else {
                connection = sdbus::createSessionBusConnectionWithAddress(choice.address);
            }
            proxy = sdbus::createProxy(*connection, endpoint.busName, endpoint.objectPath);
        } catch (const sdbus::Error& e) {
            proxy.reset();
            connection.reset();
            error = "cannot connect to the " + choice.description + ": " + e.what();
            return false;
        }
        return true;
    }
};

VxServiceClient::VxServiceClient(std::string busAddress, VxServiceEndpoint endpoint)
    : impl_(std::make_unique<Impl>()) {
    impl_->busAddress = std::move(busAddress);
    impl_->endpoint = std::move(endpoint);
}

VxServiceClient::~VxServiceClient() {
    disconnect();
}

bool VxServiceClient::connect(std::string* errorText) {
    std::lock_guard lock(impl_->mutex);
    std::string error;
    const bool ok = impl_->open(error);
    if (errorText != nullptr) *errorText = error;
    return ok;
}

void VxServiceClient::disconnect() {
    std::lock_guard lock(impl_->mutex);
    impl_->proxy.reset();
    impl_->connection.reset();
}

bool VxServiceClient::isConnected() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->connection != nullptr;
}

std::string VxServiceClient::uniqueName() const {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->connection) return {};
    try {
        return impl_->connection->getUniqueName();
    } catch (const sdbus::Error&) {
        return {};
    }
}

VxServiceCallResult VxServiceClient::call(const std::string& methodName,
                                          std::chrono::milliseconds timeout) {
    std::lock_guard lock(impl_->mutex);
    VxServiceCallResult result;
    if (!impl_->open(result.error)) return result;
    std::vector<std::string> items;
    try {
        auto call = impl_->proxy->createMethodCall(impl_->endpoint.interfaceName, methodName);
        auto reply = impl_->proxy->callMethod(call, timeout);
        reply >> items;
    } catch (const sdbus::Error& e) {
        result.errorName = e.getName();
        result.error = e.getName() + ": " + e.getMessage();
        return result;
    }
    if (items.size() > 1) {
        result.errorName = VxServiceErrors::kInvalidReply;
        result.error = "the reply holds " + std::to_string(items.size()) + " texts, not one";
        return result;
    }
    result.ok = true;
    if (!items.empty()) result.reply = std::move(items.front());
    return result;
}

std::optional<std::uint32_t> VxServiceClient::serviceProcessId(std::string* errorText) {
    std::lock_guard lock(impl_->mutex);
    std::string error;
    std::optional<std::uint32_t> pid;
    if (impl_->open(error)) {
        // Asking the bus itself never starts the service.
        try {
            auto bus = sdbus::createProxy(*impl_->connection, "org.freedesktop.DBus",
                                          "/org/freedesktop/DBus");
            bool owned = false;
            bus->callMethod("NameHasOwner")
                .onInterface("org.freedesktop.DBus")
                .withArguments(impl_->endpoint.busName)
                .storeResultsTo(owned);
            if (owned) {
                std::uint32_t value = 0;
                bus->callMethod("GetConnectionUnixProcessID")
                    .onInterface("org.freedesktop.DBus")
                    .withArguments(impl_->endpoint.busName)
                    .storeResultsTo(value);
                pid = value;
            }
        } catch (const sdbus::Error& e) {
            error = e.getName() + ": " + e.getMessage();
        }
    }
    if (errorText != nullptr) *errorText = error;
    return pid;
}

std::optional<std::string> vxCheckAvailability(const std::string& busAddress,
                                               std::chrono::milliseconds timeout,
                                               std::string* errorText) {
    VxServiceClient client(busAddress);
    VxServiceCallResult result = client.checkAvailability(timeout);
    if (errorText != nullptr) *errorText = result.ok ? std::string() : result.error;
    return result.ok ? std::move(result.reply) : std::nullopt;
}
