#pragma once
// The domain list of the first page: one row per domain of the account, keyed by host id.
// Column 0 is the name (a link to the domain) over what the service knows of it (the address the
// provider holds and when it was updated, or why the last update failed), column 1 a button that
// starts or stops the domain's resolution, column 2 a circle: green only while the provider holds the
// current address, yellow while switched on and waiting for the update, red when switched on but the
// last update failed, grey when off. Without the service's word (an older service) green and red
// say on and off. Space or Return
// switches the current row; the name column takes the room a wide window gives.

#include <QTableWidget>

#include <cstdint>
#include <string>
#include <vector>

#include "gui/pages/pages.h"
#include "shared/packet/status_records.h"

class CDomainlstSheet;

// What a row stands for. The name is kept whole, whatever its length.
struct DomainRow {
    std::string name;
    uint8_t enabled = 0;  // 1 = resolution started
    uint32_t hostid = 0;
    bool statusKnown = false;  // the service said what it knows (reply 10)
    HostStatus status;
};

class CDomainListEx : public QTableWidget {
    Q_OBJECT
public:
    static constexpr int kRowHeight = 40;
    static constexpr int kColumnName = 0;
    static constexpr int kColumnSwitch = 1;
    static constexpr int kColumnState = 2;

    explicit CDomainListEx(QWidget* parent = nullptr);
    ~CDomainListEx() override;

    void SetOwner(CDomainlstSheet* owner) { m_owner = owner; }

    // Adds a row at the end; a row already listed for `hostid` is removed first.
    void AddDomainRow(const std::string& name, uint32_t hostid, uint8_t enabled);
    // Sets the shown state of the first row for `hostid`; nothing when it is not listed.
    void SetDomainState(uint32_t hostid, uint8_t enabled);
    // What the service knows of each domain: its switch and state, the address and the last update.
    // Returns the hosts that turned to failing, for the caller to report.
    std::vector<uint32_t> SetStatus(const std::vector<HostStatus>& list);
    // The line under a row's name, and the whole of it for the tooltip and screen readers.
    static QString DetailText(const DomainRow& row);
    static QString StateText(const DomainRow& row);
    // The name of the row for `hostid`; the number itself when it is not listed.
    QString NameOf(uint32_t hostid) const;
    void ClearDomains();

    // A click on a cell: the name opens the domain, the button flips the domain's resolution.
    void OnClick(int row, int column);
    // A click on a header: sorts by that column, then reverses the direction for the next click.
    void OnColumnClick(int column);

    int RowCount() const { return static_cast<int>(m_rows.size()); }
    // The record of a row; null for a row index out of range.
    const DomainRow* Row(int row) const;
    // The process-wide direction flag of header sorting (0 before the first click).
    static int SortDirection();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void ShowRow(int row);
    void FitColumns();

    std::vector<DomainRow> m_rows;
    CDomainlstSheet* m_owner = nullptr;
};
