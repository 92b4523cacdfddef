#pragma once
// Shared pieces of diagnosticsctl's subcommands: exit codes, output in text or
// JSON, and how a failed call is told on stderr.

#include <CLI/CLI.hpp>
#include <string>

#include "platform/foundation/VxError.h"
#include "platform/foundation/VxValues.h"

namespace ctl {

// Exit codes of every subcommand.
enum Exit : int {
    kAccepted = 0,  // the call was accepted / the data was printed
    kRefused = 1,   // refused by the server, reply rejected, or nothing to show
    kUsage = 2,     // bad usage, unusable input, or a transport / bus failure
};

// Options that every subcommand sees.
struct Globals {
    bool json = false;  // compact JSON on stdout instead of text for people
};

// Prints a value on stdout: pretty JSON for people, compact with --json.
void printJson(const Id& value, const Globals& globals);
// A value as one line: texts as themselves, booleans as true/false, everything
// else in its compact JSON form.
std::string valueText(const Id& value);
// "diagnosticsctl: <message>" on stderr.
void complain(const std::string& message);

// Tells on stderr how the call `what` failed and returns its exit code: a
// transport error gives kUsage, an error status, an unreadable reply or no
// error at all (refused input, rejected reply) gives kRefused.
int reportFailure(const std::string& what, const VxErrorPtr& error);

// Registers the subcommands of each group on the application.
void addLocalCommands(CLI::App& app, const Globals& globals, int& result);
void addProtocolCommands(CLI::App& app, const Globals& globals, int& result);

}  // namespace ctl
