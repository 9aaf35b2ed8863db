#include "tools/provider/database.h"

#include <chrono>
#include <cstdlib>

namespace provider {

const std::string& CSqlRow::Text(size_t column) const
{
    static const std::string kEmpty;
    return column < m_values.size() ? m_values[column] : kEmpty;
}

int64_t CSqlRow::Int(size_t column) const
{
    return column < m_values.size() ? std::strtoll(m_values[column].c_str(), nullptr, 10) : 0;
}

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool IsPostgresUrl(const std::string& where)
{
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::unique_ptr<CDatabase> OpenDatabase(const std::string& where, std::string& error)
{
    return IsPostgresUrl(where) ? OpenPostgresDatabase(where, error) : OpenSqliteDatabase(where, error);
}

}  // namespace provider
