// Service control errors in words, for messages people read.

#include "platform/scm.h"

namespace scm {

std::string ErrorText(uint32_t error)
{
    switch (error) {
    case kOk: return "no error";
    case kFileNotFound: return "the service program was not found";
    case kAccessDenied: return "permission denied";
    case kInvalidHandle: return "invalid handle";
    case kInvalidParameter: return "invalid parameter";
    case kInvalidName: return "invalid service name";
    case kInvalidServiceControl: return "the service does not take that control";
    case kServiceRequestTimeout: return "the service did not respond in time";
    case kServiceAlreadyRunning: return "the service is already running";
    case kServiceDisabled: return "the service is disabled";
    case kServiceDoesNotExist: return "the service is not installed";
    case kServiceCannotAcceptCtrl: return "the service cannot take controls now (still starting?)";
    case kServiceNotActive: return "the service is not running";
    case kFailedServiceControllerConnect: return "not started as a service";
    case kProcessAborted: return "the service process ended unexpectedly";
    case kServiceMarkedForDelete: return "the service is marked for removal";
    case kServiceExists: return "the service is already installed";
    case kIoError: return "input/output error in the service database";
    default: return "error " + std::to_string(error);
    }
}

}  // namespace scm
