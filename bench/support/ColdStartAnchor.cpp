// The floor of a cold start: a minimal bus service on the raw sd-bus C API that
// the bus starts on demand like diagnosticsd. It owns the bus name given as its
// first argument and answers checkAvailabilityWithReply with one text after one
// plain libcurl POST (a fresh handle, the service's headers) of the body in the
// file BENCH_POST_BODY_FILE to BENCH_POST_URL. With BENCH_POST_KEEP=1 it keeps
// its handle, and so its connection, from one call to the next: the least any
// service that POSTs before it answers does on a warm call. Built with
// BENCH_ECHO_ONLY it answers at once and does not link libcurl. It runs until
// it is stopped.

#ifndef BENCH_ECHO_ONLY
#include <curl/curl.h>
#endif
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/bus/VxServiceEndpoint.h"

namespace {

std::string gURL;
std::string gBody;

#ifdef BENCH_ECHO_ONLY
bool postOnce() {
    return true;
}
#else
size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

bool gKeep = false;
CURL* gKept = nullptr;
curl_slist* gKeptHeaders = nullptr;

bool postOnce() {
    CURL* curl = gKept;
    curl_slist* headers = gKeptHeaders;
    if (!curl) {
        curl = curl_easy_init();
        if (!curl) return false;
        headers = curl_slist_append(headers, "Content-Type: application/json; charset=utf-8");
        headers = curl_slist_append(headers, "Accept: application/json");
        headers = curl_slist_append(headers, "Accept-Language: en");
        curl_easy_setopt(curl, CURLOPT_URL, gURL.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, gBody.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(gBody.size()));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 30000L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    }
    long status = 0;
    const bool ok = curl_easy_perform(curl) == CURLE_OK &&
                    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
                    status == 200;
    if (gKeep) {
        gKept = curl;
        gKeptHeaders = headers;
        return ok;
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return ok;
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
