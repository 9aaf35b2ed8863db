#pragma once
// The service program's front end: command line, service registration, and the link between the
// service control layer and the manager.

#include <string>

#include "shared/base/names.h"

// Registers this program as the service (auto start, own process, errors ignored, the program's
// full path unquoted). Nothing changes when the service exists. True when it was created.
bool InstallService();
// Asks the service to stop (without waiting) and deletes its registration.
bool RemoveService();
// Runs the program for the arguments given: no argument hands the process to the dispatcher,
// "-i" installs, "-r" removes, anything else does nothing. Always returns 0.
int ServiceProgramMain(int argc, char** argv);
