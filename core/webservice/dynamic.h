// Interface of the provider's dynamic-DNS web service, read by soapcpp2 at build time.
// RPC/encoded SOAP 1.1 in "urn:dynamic"; every parameter and result is a plain string that carries a
// small XML document. The empty method-actions make requests carry SOAPAction: "".
// A single underscore in a name becomes a dash on the wire (dynamic_list -> dynamic-list).

//gsoap ns service name: dynamic
//gsoap ns service style: rpc
//gsoap ns service encoding: encoded
//gsoap ns service namespace: urn:dynamic
//gsoap ns service location: http://127.0.0.1:1800/dynamic.cgi
//gsoap ns schema namespace: urn:dynamic
//gsoap ns service method-action: updateDynamic ""
//gsoap ns service method-action: getDynamic ""
//gsoap ns service method-action: getDynamicIP ""

#include <string>

int ns__updateDynamic(std::string username, std::string password, std::string dynamic_list,
                      std::string& result);
int ns__getDynamic(std::string username, std::string password, std::string& result);
int ns__getDynamicIP(std::string& result);
