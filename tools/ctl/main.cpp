// diagnosticsctl: command-line companion of the diagnostics agent. It asks the
// running service whether the device is in the current session, shows the
// service's status, runs every call of the server protocol through the library,
// edits the agent's preferences and shows what the device answer service knows.

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "Ctl.h"
#include "VxBuildInfo.h"

namespace {

// Global flags that take no value; everything else that starts with "-" before
// the subcommand is left to the parser.
bool isGlobalFlag(const std::string& arg) {
    return arg == "--json" || arg == "--system" || arg == "--user" || arg == "--version" ||
           arg == "--help" || arg == "-h";
}

// The first word that should name a subcommand, when it names none: CLI11
// would only say that the argument "was not expected".
std::string unknownSubcommand(const CLI::App& app, int argc, char** argv) {
    const CLI::App* level = &app;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.empty() || arg[0] == '-') {
            if (level == &app && !isGlobalFlag(arg)) return {};
            continue;
        }
        if (level->get_subcommands({}).empty()) return {};
        bool found = false;
        for (const CLI::App* sub : level->get_subcommands({})) {
            if (sub->check_name(arg)) {
                level = sub;
                found = true;
                break;
            }
        }
        if (!found) return arg;
        // Only "prefs" has subcommands of its own; below them come arguments.
        if (level->get_subcommands({}).empty()) return {};
    }
    return {};
}

// Help in the usual order: the "Usage:" line first, then what the command does.
class UsageFirstFormatter : public CLI::Formatter {
  public:
    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override {
        if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
        std::stringstream out;
        out << make_usage(app, name) << '\n';
        out << make_description(app);
        out << make_positionals(app);
        out << make_groups(app, mode);
        out << make_subcommands(app, mode);
        out << '\n' << make_footer(app);
        return out.str();
    }
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Command-line companion of the diagnostics agent", "diagnosticsctl"};
    app.set_version_flag("--version", "diagnosticsctl " DA_APPLICATION_VERSION);
    app.formatter(std::make_shared<UsageFirstFormatter>());
    app.require_subcommand(1);
    // Global flags are accepted after the subcommand too.
    app.fallthrough();

    ctl::Globals globals;
    bool systemBus = false, userBus = false;
    app.add_flag("--json", globals.json, "Print data as compact JSON");
    CLI::Option* system =
        app.add_flag("--system", systemBus, "Talk to the service on the system bus");
    app.add_flag("--user", userBus, "Talk to the service on the user's session bus (default)")
        ->excludes(system);

    int result = ctl::kAccepted;
    ctl::addLocalCommands(app, globals, result);
    ctl::addProtocolCommands(app, globals, result);

    if (std::string word = unknownSubcommand(app, argc, argv); !word.empty()) {
        ctl::complain("unknown subcommand \"" + word + "\"; see diagnosticsctl --help");
        return ctl::kUsage;
    }
    // The bus is chosen before any subcommand runs.
    app.parse_complete_callback([&] {
        if (systemBus) ::setenv("DA_BUS", "system", 1);
        if (userBus) ::unsetenv("DA_BUS");
    });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? ctl::kAccepted : ctl::kUsage;
    }
    return result;
}
