// The one definition of the SOAP namespace table for every program that links the generated code.
#include "soapH.h"
#include "dynamic.nsmap"
