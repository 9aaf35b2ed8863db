#pragma once
// `morvane-provider migrate`: a SQLite store moved whole into an empty PostgreSQL one, ids kept (clients of
// the web service know their hosts by id), in one transaction on each side.

#include <string>
#include <vector>

namespace provider {

// `report` gets "TABLE<TAB>ROWS" per table copied. False with a reason, the target left as it was.
bool MigrateStore(const std::string& from, const std::string& to, std::vector<std::string>& report, std::string& error);

}  // namespace provider
