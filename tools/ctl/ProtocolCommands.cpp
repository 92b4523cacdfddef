// The protocol subcommands: each runs one call of the connection manager, the
// same way the library runs it, and prints the accepted reply.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <memory>

#include "Ctl.h"
#include "Managers/DAConnectionManager.h"
#include "Managers/DALoggingInit.h"
#include "Progress.h"
#include "TransferProgress.h"
#include "device/DAUtilities.h"
#include "model/DACommandResponse.h"
#include "model/DADeviceModel.h"
#include "platform/foundation/VxJSON.h"

namespace ctl {

namespace {

// Largest JSON input file read (a device record or a results object).
constexpr std::uintmax_t kMaxJsonFileBytes = 16 * 1024 * 1024;

DAConnectionManagerPtr manager() {
    DALoggingInit();
    return DAConnectionManager::sharedInstance();
}

std::string deviceSerialNumber() {
    VxStringPtr serial = DAUtilities::sharedInstance()->getSerialNumberForPrimaryDevice();
    return serial ? serial->str() : std::string();
}

// Where the session of a device call comes from.
struct SessionChoice {
    std::string serial;     // open a session for this serial number
    std::string sessionId;  // or use this identifier as it is
};

void addSessionOptions(CLI::App* sub, SessionChoice& choice) {
    CLI::Option* serial =
        sub->add_option("--serial", choice.serial,
                        "Open the session for this serial number (default: the device's own)");
    sub->add_option("--session-id", choice.sessionId,
                    "Use this session identifier instead of opening a session")
        ->excludes(serial);
}

// Makes the manager hold a session; kAccepted, or the failure's exit code.
int holdSession(DAConnectionManager& m, const SessionChoice& choice) {
    if (!choice.sessionId.empty()) {
        m.setSessionIdStr(vxstr(choice.sessionId));
        return kAccepted;
    }
    const std::string serial = choice.serial.empty() ? deviceSerialNumber() : choice.serial;
    if (serial.empty()) {
        complain("no serial number to open a session for: give --serial or --session-id");
        return kUsage;
    }
    VxErrorPtr error;
    if (m.sessionForSerialNumber(vxstr(serial), &error)) return kAccepted;
    return reportFailure("session", error);
}

// Reads a JSON file; nothing (with a message) when it is missing, too large or
// not JSON.
Id readJsonFile(const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) {
        complain("cannot read " + path + ": " + ec.message());
        return nullptr;
    }
    if (size > kMaxJsonFileBytes) {
        complain(path + " is larger than 16 MiB");
        return nullptr;
    }
    std::string problem;
    VxDataPtr data = VxData::dataWithContentsOfFile(path, &problem);
    if (!data) {
        complain("cannot read " + path + ": " + problem);
        return nullptr;
    }
    VxErrorPtr error;
    Id value = VxJSONSerialization::JSONObjectWithData(data, 0, &error);
    if (!value)
        complain(path + " is not JSON" + (error ? ": " + error->localizedDescription() : ""));
    return value;
}

// Device records to send: the one DAUtilities assembles for this device, or
// those of a file holding one JSON object or an array of them.
struct DeviceChoice {
    std::string file;
    std::string deviceId;
};

void addDeviceOptions(CLI::App* sub, DeviceChoice& choice) {
    CLI::Option* file =
        sub->add_option("--file", choice.file,
                        "Send the device record(s) of this JSON file (an object or an array)");
    sub->add_option("--device", choice.deviceId,
                    "Device identifier of the assembled record (default: the serial "
                    "identifier of the device's serial number)")
        ->excludes(file);
}

VxArrayPtr deviceRecords(const DeviceChoice& choice) {
    auto records = VxMutableArray::array();
    if (choice.file.empty()) {
        VxStringPtr id = vxstr(choice.deviceId);
        if (choice.deviceId.empty())
            id = DAUtilities::sharedInstance()->uuidHashFromString(vxstr(deviceSerialNumber()));
        if (!id) {
            complain("no device identifier: the device has no usable serial number; give --device");
            return nullptr;
        }
        records->addObject(DAUtilities::sharedInstance()->deviceModelForDeviceId(id));
        return records;
    }
    Id content = readJsonFile(choice.file);
    if (!content) return nullptr;
    VxArrayPtr items = vx_cast<VxArray>(content);
    if (!items) items = VxArray::arrayWithObjects({content});
    for (std::size_t i = 0; i < items->count(); ++i) {
        if (!vx_cast<VxDictionary>(items->objectAtIndex(i))) {
            complain(choice.file + ": every device record must be a JSON object");
            return nullptr;
        }
        records->addObject(DADeviceModel::modelWithDictionary(items->objectAtIndex(i)));
    }
    if (records->count() == 0) {
        complain(choice.file + " holds no device record");
        return nullptr;
    }
    return records;
}

// Prints a command response, or tells that there was none.
int printCommandResponse(const std::string& what, const std::shared_ptr<DACommandResponse>& reply,
                         const VxErrorPtr& error, const Globals& globals) {
    if (!reply) return reportFailure(what, error);
    printJson(reply->dictionary(), globals);
    return kAccepted;
}

int runSession(const std::string& serial, const Globals& globals) {
    DAConnectionManagerPtr m = manager();
    VxErrorPtr error;
    if (!m->sessionForSerialNumber(vxstr(serial), &error)) {
        if (error) return reportFailure("session", error);
        complain(
            "session: no session was opened (serial number unusable, or the server's "
            "reply was not accepted)");
        return kRefused;
    }
    if (globals.json) {
        auto reply = VxMutableDictionary::dictionary();
        reply->setObject(m->sessionIdStr(), "sessionId");
        printJson(reply, globals);
    } else {
        std::cout << m->sessionIdStr()->str() << "\n";
    }
    return kAccepted;
}

int runEnroll(const std::vector<std::string>& serials, const SessionChoice& session,
              const Globals& globals) {
    DAConnectionManagerPtr m = manager();
    if (int code = holdSession(*m, session)) return code;
    auto array = VxMutableArray::array();
    for (const auto& s : serials) array->addObject(vxstr(s));
    VxErrorPtr error;
    VxDictionaryPtr devices = m->enrollArrayOfDeviceSNs(array, &error);
    if (!devices) return reportFailure("enroll", error);
    printJson(devices, globals);
    return kAccepted;
}

int runProfile(const DeviceChoice& device, const SessionChoice& session, const Globals& globals) {
    VxArrayPtr records = deviceRecords(device);
    if (!records) return kUsage;
    DAConnectionManagerPtr m = manager();
    if (int code = holdSession(*m, session)) return code;
    VxErrorPtr error;
    VxDictionaryPtr devices = m->sendProfilesForDevices(records, &error);
    if (!devices) return reportFailure("profile", error);
    printJson(devices, globals);
    return kAccepted;
}

int runClientStatus(const DeviceChoice& device, const SessionChoice& session,
                    const Globals& globals) {
    VxArrayPtr records = deviceRecords(device);
    if (!records) return kUsage;
    if (records->count() != 1) {
        complain("client-status sends one device record; " + device.file + " holds " +
                 std::to_string(records->count()));
        return kUsage;
    }
    DAConnectionManagerPtr m = manager();
    if (int code = holdSession(*m, session)) return code;
    VxErrorPtr error;
    auto reply = m->sendClientStatus(
        std::static_pointer_cast<DADeviceModel>(records->objectAtIndex(0)), &error);
    return printCommandResponse("client-status", reply, error, globals);
}

int runCommand(const std::string& deviceId, const SessionChoice& session, const Globals& globals) {
    DAConnectionManagerPtr m = manager();
    if (int code = holdSession(*m, session)) return code;
    VxErrorPtr error;
    auto reply = m->getCommandForDeviceId(vxstr(deviceId), &error);
    return printCommandResponse("command", reply, error, globals);
}

int runResults(const std::string& file, const SessionChoice& session, const Globals& globals) {
    Id content = readJsonFile(file);
    if (!content) return kUsage;
    auto object = vx_cast<VxDictionary>(content);
    if (!object) {
        complain(file + ": the results must be a JSON object");
        return kUsage;
    }
    auto record = CJsonModel::create();
    auto storage = VxMutableDictionary::dictionary();
    storage->addEntriesFromDictionary(*object);
    record->setInternalDictionary(storage);

    DAConnectionManagerPtr m = manager();
    if (int code = holdSession(*m, session)) return code;
    VxErrorPtr error;
    if (!m->sendResultsObject(record, &error)) return reportFailure("results", error);
    printJson(record->dictionary(), globals);
    return kAccepted;
}

struct UploadArgs {
    std::string file, testId, dataId, deviceId;
    std::string sequence = "1", total = "1";
};

// A progress line on stderr when it is a terminal and the output is for people.
bool showProgress(const Globals& globals) {
    return !globals.json && ::isatty(STDERR_FILENO) == 1;
}

int runUpload(const UploadArgs& args, const SessionChoice& session, const Globals& globals) {
    struct stat st {};
    if (::stat(args.file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::access(args.file.c_str(), R_OK) != 0) {
        complain("upload: " + args.file + " is not a readable file");
        return kUsage;
    }
    DAConnectionManagerPtr m = manager();
    if (int code = holdSession(*m, session)) return code;

    ProgressLine progress(stderr, showProgress(globals));
    TransferProgress attached(*m, progress);
    const bool accepted =
        m->sendFilenamed(vxstr(args.file), vxstr(args.sequence), vxstr(args.total),
                         vxstr(args.testId), vxstr(args.dataId), vxstr(args.deviceId));
    if (!accepted) {
        progress.clear();
        complain(
            "upload: not accepted (refused by the server, rejected reply, transport "
            "failure or time-out; see the log); the file is kept: " +
            args.file);
        return kRefused;
    }
    progress.finish();
    auto summary = VxMutableDictionary::dictionary();
    summary->setObject(vxstr(args.file), "file");
    summary->setObject(VxNumber::numberWithLongLong(st.st_size), "size");
    summary->setObject(vxstr(args.testId), "testId");
    summary->setObject(vxstr(args.dataId), "dataId");
    summary->setObject(vxstr(args.deviceId), "deviceId");
    summary->setObject(vxstr(args.sequence), "sequence");
    summary->setObject(vxstr(args.total), "total");
    printJson(summary, globals);
    return kAccepted;
}

int runStrings(const std::string& bundle, const Globals& globals) {
    std::error_code ec;
    const std::string directory = std::filesystem::absolute(bundle, ec).string();
    if (bundle.empty() || ec) {
        complain("strings: " + bundle + " cannot be a bundle directory");
        return kUsage;
    }
    // A failed download leaves an earlier table in place: only a new file counts.
    const std::string table = directory + "/Base.lproj/Localizable.strings";
    struct stat before {
    }, after{};
    const bool existed = ::stat(table.c_str(), &before) == 0;

    DAConnectionManagerPtr m = manager();
    ProgressLine progress(stderr, showProgress(globals));
    TransferProgress attached(*m, progress);
    m->saveLocalizationToBundleURL(VxURL::fileURLWithPath(directory, true));

    const bool arrived =
        ::stat(table.c_str(), &after) == 0 && (!existed || after.st_ino != before.st_ino ||
                                               after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
                                               after.st_mtim.tv_nsec != before.st_mtim.tv_nsec);
    if (!arrived) {
        progress.clear();
        complain("strings: no strings table arrived within 5 seconds (see the log)" +
                 std::string(existed ? "; the earlier " + table + " is unchanged" : ""));
        return kRefused;
    }
    progress.finish();
    auto summary = VxMutableDictionary::dictionary();
    summary->setObject(vxstr(table), "file");
    summary->setObject(VxNumber::numberWithLongLong(after.st_size), "size");
    printJson(summary, globals);
    return kAccepted;
}

// Where the parsed arguments of the protocol subcommands live.
struct ProtocolArgs {
    std::string serial;
    std::vector<std::string> serials;
    SessionChoice sessionChoice;
    DeviceChoice device;
    std::string deviceId, resultsFile, bundle;
    UploadArgs upload;
};

}  // namespace

void addProtocolCommands(CLI::App& app, const Globals& globals, int& result) {
    static ProtocolArgs args;
    CLI::App* session = app.add_subcommand(
        "session",
        "Open a session for a serial number with the server chosen by the preferences "
        "\"Server\" and \"CustomServerURL\"; print the session identifier.");
    session->add_option("SERIAL", args.serial, "Device serial number")->required();
    session->callback([&] { result = runSession(args.serial, globals); });

    CLI::App* enroll = app.add_subcommand(
        "enroll", "Enrol devices by serial number; print the server's \"devices\" object.");
    enroll->add_option("SERIAL", args.serials, "Serial numbers to enrol")->required();
    addSessionOptions(enroll, args.sessionChoice);
    enroll->callback([&] { result = runEnroll(args.serials, args.sessionChoice, globals); });

    CLI::App* profile = app.add_subcommand(
        "profile",
        "Send device profiles (this device's record, or --file); print the \"devices\" object.");
    addDeviceOptions(profile, args.device);
    addSessionOptions(profile, args.sessionChoice);
    profile->callback([&] { result = runProfile(args.device, args.sessionChoice, globals); });

    CLI::App* status = app.add_subcommand(
        "client-status",
        "Send one device record as the client status; print the command response.");
    addDeviceOptions(status, args.device);
    addSessionOptions(status, args.sessionChoice);
    status->callback([&] { result = runClientStatus(args.device, args.sessionChoice, globals); });

    CLI::App* command =
        app.add_subcommand("command", "Poll the next command for a device; print it.");
    command->add_option("DEVICE_ID", args.deviceId, "Device identifier")->required();
    addSessionOptions(command, args.sessionChoice);
    command->callback([&] { result = runCommand(args.deviceId, args.sessionChoice, globals); });

    CLI::App* results = app.add_subcommand(
        "results", "Send the JSON object of a file as test results; print what was sent.");
    results->add_option("FILE", args.resultsFile, "JSON file holding one object")->required();
    addSessionOptions(results, args.sessionChoice);
    results->callback([&] { result = runResults(args.resultsFile, args.sessionChoice, globals); });

    CLI::App* up = app.add_subcommand(
        "upload",
        "Upload a test data file with its size and MD5; the server's acceptance deletes the "
        "local file. Shows progress on a terminal.");
    up->add_option("FILE", args.upload.file, "File to upload")->required();
    up->add_option("--test", args.upload.testId, "Test identifier")->required();
    up->add_option("--data", args.upload.dataId, "Data identifier")->required();
    up->add_option("--device", args.upload.deviceId, "Device identifier")->required();
    up->add_option("--sequence", args.upload.sequence, "Place of the file in its series")
        ->capture_default_str();
    up->add_option("--total", args.upload.total, "Number of files in the series")
        ->capture_default_str();
    addSessionOptions(up, args.sessionChoice);
    up->callback([&] { result = runUpload(args.upload, args.sessionChoice, globals); });

    CLI::App* strings = app.add_subcommand(
        "strings",
        "Download the server's strings table into BUNDLE_DIR/Base.lproj/Localizable.strings. "
        "Shows progress on a terminal.");
    strings->add_option("BUNDLE_DIR", args.bundle, "Bundle directory")->required();
    strings->callback([&] { result = runStrings(args.bundle, globals); });
}

}  // namespace ctl
