#include "core/interface_watch.h"

#include <algorithm>

#include "core/log.h"

void CSettle::Note(uint32_t now)
{
    if (!m_pending)
        m_first = now;
    m_pending = true;
    m_last = now;
}

int64_t CSettle::DueIn(uint32_t now) const
{
    if (!m_pending)
        return -1;
    int64_t quiet = int64_t(kInterfaceQuietMs) - int64_t(uint32_t(now - m_last));
    int64_t bound = int64_t(kInterfaceSettleMaxMs) - int64_t(uint32_t(now - m_first));
    return std::max<int64_t>(0, std::min(quiet, bound));
}

void CInterfaceWatch::Follow(const std::string& name, unsigned kinds)
{
    m_kinds = kinds;
    if (name == m_name)
        return;  // also after a failure to subscribe: tried again when the name changes
    m_name = name;
    m_settle.Taken();
    m_events.Close();
    if (name.empty())
        return;
    std::string why;
    if (m_events.Open(why))
        JournalPrint(kJournalInfo, "address: following the changes of interface %s", name.c_str());
    else
        JournalPrint(kJournalWarning, "address: %s; interface %s is checked only at the periodic address check",
                     why.c_str(), name.c_str());
}

void CInterfaceWatch::OnReadable(uint32_t now)
{
    unsigned seen = m_events.Drain(m_name);
    if (m_events.Descriptor() < 0)
        JournalPrint(kJournalWarning,
                     "address: the notifications of interface %s failed; it is checked only at the periodic "
                     "address check",
                     m_name.c_str());
    if (seen & m_kinds)
        m_settle.Note(now);
}
