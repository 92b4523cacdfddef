// The floor of a cold start: a minimal bus service on the raw sd-bus C API that
// the bus starts on demand like diagnosticsd. It owns the bus name given as its
// first argument and answers checkAvailabilityWithReply with one text after one
// plain libcurl POST (a fresh handle, the service's headers) of the body in the
// file BENCH_POST_BODY_FILE to BENCH_POST_URL. With BENCH_POST_KEEP=1 it keeps
// its handle, and so its connection, from one call to the next: the least any
// service that POSTs before it answers does on a warm call. Built with
// BENCH_ECHO_ONLY it answers at once and does not link libcurl. It runs until
// it is stopped.

#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/bus/VxServiceEndpoint.h"
#ifndef BENCH_ECHO_ONLY
#include "support/PlainPost.h"
#endif

namespace {

std::string gURL;
std::string gBody;

#ifdef BENCH_ECHO_ONLY
bool postOnce() {
    return true;
}
#else
bool gKeep = false;

bool postOnce() {
    if (!gKeep) return bench::PlainPost(gURL, gBody).post();
    static bench::PlainPost kept(gURL, gBody);
    return kept.post();
}
#endif

int answer(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "as", 1, postOnce() ? "posted" : "failed");
}

const sd_bus_vtable kVTable[] = {SD_BUS_VTABLE_START(0),
                                 SD_BUS_METHOD(VxServiceEndpoint::kCheckAvailabilityMethod, "",
                                               "as", answer, SD_BUS_VTABLE_UNPRIVILEGED),
                                 SD_BUS_VTABLE_END};

}  // namespace

int main(int argc, char** argv) {
    const char* address = std::getenv("DBUS_STARTER_ADDRESS");
    const char* url = std::getenv("BENCH_POST_URL");
    const char* bodyFile = std::getenv("BENCH_POST_BODY_FILE");
    if (argc < 2 || !address || !url || !bodyFile) {
        std::fprintf(stderr,
                     "usage: DBUS_STARTER_ADDRESS=... BENCH_POST_URL=... "
                     "BENCH_POST_BODY_FILE=... %s BUS-NAME\n",
                     argv[0]);
        return 2;
    }
    gURL = url;
#ifndef BENCH_ECHO_ONLY
    const char* keep = std::getenv("BENCH_POST_KEEP");
    gKeep = keep != nullptr && std::string(keep) == "1";
#endif
    std::ifstream in(bodyFile, std::ios::binary);
    gBody.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());

    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address) < 0 ||
        sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0 ||
        sd_bus_add_object_vtable(bus, &slot, VxServiceEndpoint::kDefaultObjectPath,
                                 VxServiceEndpoint::kDefaultInterfaceName, kVTable, nullptr) < 0 ||
        sd_bus_request_name(bus, argv[1], 0) < 0) {
        std::fprintf(stderr, "%s: could not serve %s\n", argv[0], argv[1]);
        return 1;
    }
    for (;;) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0) break;
        if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) break;
    }
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
    return 0;
}
