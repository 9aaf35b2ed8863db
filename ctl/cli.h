#pragma once
// What morvanectl's commands share: options, exit codes, error output, and the commands kept in
// files of their own (service control, provider configuration).

#include <string>
#include <vector>

class CCtlClient;

namespace ctl {

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,
    kExitNotInstalled = 2,
    kExitNotRunning = 3,
    kExitNoAnswer = 4,
    kExitLoginRefused = 5,
    kExitFailed = 6,
    kExitNoAccount = 7,
    kExitProviderUnreachable = 8,
    kExitProviderAnswer = 9,
    kExitPermission = 10,
};

struct Options {
    std::string dir;
    bool json = false;
    int timeoutSec = 5;
    bool timeoutGiven = false;
    std::vector<std::string> args;
};

// `text` as a JSON string literal.
std::string JsonString(const std::string& text);
// Reports `message` (as JSON with --json) and returns `code`.
int Fail(const Options& opt, int code, const std::string& message);
// The password from a no-echo prompt, or a line of standard input when that is not a terminal.
std::string ReadPassword();

// The data directory must be readable (writable with `writing`); otherwise says how to get access.
int CheckDataAccess(const Options& opt, const std::string& userFile, bool writing);
// The channel of the command being run, so that DiagnoseSilence can say who holds the port.
void SetDiagnosedChannel(const CCtlClient* client);
// Why the service did not answer: its port held by somebody else, not installed, not running, or busy.
int DiagnoseSilence(const Options& opt);

// morvanectl service ...
int ServiceCommand(const Options& opt);
// morvanectl provider ...
int ProviderCommand(const Options& opt);

}  // namespace ctl
