// Round trip of one availability request through the bus (client -> bus ->
// diagnosticsd -> reference server and back) against the floor it stands on: a
// plain libcurl POST of the same JSON body to the same server. Both are timed
// per iteration, alternately, in the same run; the figures printed are the
// ratios of their medians and 99th percentiles.
//
// Usage: bench_availability [iterations] (default 300, after 50 warm-up calls
// of each).

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "device/DAUtilities.h"
#include "platform/VxJSON.h"
#include "platform/VxPreferences.h"
#include "platform/VxServiceClient.h"
#include "platform/VxServiceEndpoint.h"
#include "support/PrivateBus.h"
#include "support/ReferenceServer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kDomain = "com.tarvo.Diagnostics";
constexpr const char* kSerial = "BENCH0000042";
constexpr int kWarmUp = 50;

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

// A reused libcurl handle posting the body the service sends, with its headers.
class PlainPost {
  public:
    PlainPost(const std::string& url, const std::string& body) : body_(body) {
        curl_ = curl_easy_init();
        headers_ = curl_slist_append(headers_, "Content-Type: application/json; charset=utf-8");
        headers_ = curl_slist_append(headers_, "Accept: application/json");
        headers_ = curl_slist_append(headers_, "Accept-Language: en");
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body_.c_str());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, static_cast<long>(body_.size()));
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, discard);
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, 30000L);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    }
    ~PlainPost() {
        curl_slist_free_all(headers_);
        curl_easy_cleanup(curl_);
    }
    bool post() {
        long status = 0;
        if (curl_easy_perform(curl_) != CURLE_OK) return false;
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
        return status == 200;
    }

  private:
    std::string body_;
    CURL* curl_ = nullptr;
    curl_slist* headers_ = nullptr;
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

double microsecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
    curl_global_init(CURL_GLOBAL_DEFAULT);

    const std::string work =
        (std::filesystem::temp_directory_path() / ("da-bench-" + std::to_string(::getpid())))
            .string();
    std::filesystem::create_directories(work + "/prefs");
    std::filesystem::create_directories(work + "/logs");
    int rc = 0;
    {
        da::test::ReferenceServer server;
        server.configure(R"({"sessionId":"bench-session"})");
        PrivateBus bus;
        if (!bus.ok()) {
            std::fprintf(stderr, "bench_availability: %s\n", bus.error().c_str());
            return 1;
        }
        VxPreferences prefs(work + "/prefs");
        prefs.setValue(VxNumber::numberWithUnsignedLongLong(5), "Server", kDomain);
        prefs.setValue(vxstr(server.baseURL()), "CustomServerURL", kDomain);
        {
            std::ofstream answers(work + "/answers.json");
            answers << "{\"SerialNumber\": \"" << kSerial << "\"}\n";
        }
        std::string problem;
        const std::map<std::string, std::string> environment = {
            {"DA_PREFERENCES_DIR", work + "/prefs"},
            {"DA_DEVICE_ANSWERS", work + "/answers.json"},
            {"DA_LOG_DIR", work + "/logs"},
            {"DA_LOG_CONSOLE_LEVEL", "0"}};
        if (!bus.installService(VxServiceEndpoint::kDefaultBusName,
                                PrivateBus::commandWithEnvironment(
                                    environment, DA_BINARY_DIR "/service/diagnosticsd"),
                                &problem)) {
            std::fprintf(stderr, "bench_availability: %s\n", problem.c_str());
            return 1;
        }

        // The body the service sends for this serial number.
        auto utilities = DAUtilities::sharedInstance();
        auto body = VxDictionary::dictionaryWithPairs(
            {{"identifier", utilities->uuidHashFromString(vxstr(kSerial))},
             {"platform", utilities->appPlatform()},
             {"appVersion", utilities->applicationVersion()}});
        const std::string json(VxJSONSerialization::dataWithJSONObject(body, 0)->view());
        PlainPost plain(server.baseURL() + "session", json);
        VxServiceClient client(bus.address());

        auto ask = [&] {
            VxServiceCallResult r = client.checkAvailability(std::chrono::seconds(30));
            return r.ok && r.reply == "bench-session";
        };
        for (int i = 0; i < kWarmUp; ++i) {
            if (!ask() || !plain.post()) {
                std::fprintf(stderr, "bench_availability: warm-up request failed\n");
                return 1;
            }
        }

        std::vector<double> viaBus, viaCurl;
        viaBus.reserve(iterations);
        viaCurl.reserve(iterations);
        for (int i = 0; i < iterations; ++i) {
            auto start = Clock::now();
            const bool busOK = ask();
            viaBus.push_back(microsecondsSince(start));
            start = Clock::now();
            const bool curlOK = plain.post();
            viaCurl.push_back(microsecondsSince(start));
            if (!busOK || !curlOK) {
                std::fprintf(stderr, "bench_availability: request %d failed\n", i);
                rc = 1;
                break;
            }
        }
        if (rc == 0) {
            const double busP50 = percentile(viaBus, 0.50), busP99 = percentile(viaBus, 0.99);
            const double curlP50 = percentile(viaCurl, 0.50), curlP99 = percentile(viaCurl, 0.99);
            std::printf("availability round trip, %d iterations each (after %d warm-up)\n",
                        iterations, kWarmUp);
            std::printf("  bus + service + HTTP  p50 %9.1f us   p99 %9.1f us\n", busP50, busP99);
            std::printf("  plain libcurl POST    p50 %9.1f us   p99 %9.1f us\n", curlP50, curlP99);
            std::printf("  ratio (bus / plain)   p50 %9.2f      p99 %9.2f\n", busP50 / curlP50,
                        busP99 / curlP99);
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    curl_global_cleanup();
    return rc;
}
