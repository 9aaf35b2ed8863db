// MorvaneCore: the Morvane service. See service_entry.h for the command line.
#include "core/service_entry.h"

int main(int argc, char** argv)
{
    return ServiceProgramMain(argc, argv);
}
