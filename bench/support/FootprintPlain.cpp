// The anchor of the footprint check: a process that only uses libcurl (with
// OpenSSL) to POST a small JSON body to the URL given as its argument, then
// reports its resident size.

#include <curl/curl.h>

#include "Footprint.h"

namespace {
size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    bench::reportStage("loaded");
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = curl_easy_init();
    bench::reportStage("setup");
    const char body[] = R"({"identifier":"0000","platform":"linux","appVersion":"1.0"})";
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(curl, CURLOPT_URL, argv[1]);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 30000L);
    const bool ok = curl_easy_perform(curl) == CURLE_OK;
    bench::reportStage("call");
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    curl_global_cleanup();
    return ok ? 0 : 1;
}
