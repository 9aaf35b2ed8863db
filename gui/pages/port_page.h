#pragma once
// The port list of the second page: one row per (port, protocol), with the "启用" check box,
// the port, the protocol and the mapping state. Each row carries its PortMapEntry. Columns are never
// narrower than their headers and share the room a wide window gives; Delete removes the selected
// row after asking.

#include <QTableWidget>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gui/pages/pages.h"
#include "shared/packet/records.h"

class CMorvaneMapportDlg;

// Well-known services of the service combo, ordered by their labels' bytes.
const std::map<std::string, uint16_t>& ServicePorts();

class CMapPortList : public QTableWidget {
    Q_OBJECT
public:
    // Context-menu commands.
    static constexpr int kStartMapping = 1000;
    static constexpr int kCancelMapping = 1001;
    static constexpr int kEnable = 1002;
    static constexpr int kDelete = 1003;
    static constexpr int kDisable = 1004;
    // RequestPort kinds.
    static constexpr int kMapNow = 0;
    static constexpr int kStoreAllow = 1;

    explicit CMapPortList(QWidget* parent = nullptr);
    ~CMapPortList() override;

    void SetOwner(CMorvaneMapportDlg* owner) { m_owner = owner; }

    // 1 when a row was added (at the end), -1 when (port, type) is already listed.
    int AddPortRow(uint16_t port, uint8_t type, uint8_t op, uint8_t allow);
    // A map/unmap result: a failed request leaves the opposite of what was asked for.
    void UpdatePortRow(uint16_t port, uint8_t op, uint8_t type, uint8_t allow, bool ok);
    // kMapNow: request line and command 4; kStoreAllow: command 8 (allow) or 9. Nothing
    // without an owning page or for port 0. `undo` turns back what the caller changed on screen
    // when the map request gets no answer; `removing`: the unmapping is part of removing the row.
    void RequestPort(int kind, uint16_t port, uint8_t type, uint8_t op, uint8_t allow, std::function<void()> undo = {},
                     bool removing = false);
    // True (once) when an unmap result is for a port deleted while it was not mapped: nothing
    // was there to remove, so a refusal is no failure.
    bool TakeDeletedUnmapped(uint16_t port, uint8_t type);
    // Removes the row of (port, type), when it is listed.
    void RemovePortRow(uint16_t port, uint8_t type);
    // Shows `allow` for (port, type) again, when it is still listed.
    void RestoreAllowSetting(uint16_t port, uint8_t type, uint8_t allow);

    // The context menu of the selected row as (command, text); empty when it has none.
    std::vector<std::pair<int, QString>> ContextMenuItems() const;
    // A context-menu command on the selected row. kDelete asks first.
    void OnMenuCommand(int id);
    // The question kDelete asks about a row.
    static QString DeleteQuestion(uint16_t port, uint8_t type);

    int RowCount() const { return static_cast<int>(m_entries.size()); }
    const PortMapEntry* Entry(int row) const;
    bool Checked(int row) const;
    // The first row for (port, type), or -1.
    int FindRow(uint16_t port, uint8_t type) const;
    // The selected row, or -1.
    int SelectedRow() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void FitColumns();
    void OnItemChanged(QTableWidgetItem* item);
    void OnContextMenu(const QPoint& pos);
    void SetCheck(int row, bool checked);
    void ShowState(int row);
    void ToggleAllow(int row);
    void DeleteRow(int row);
    void Send(uint16_t command, const PortMapEntry& entry);

    std::vector<PortMapEntry> m_entries;
    std::multiset<std::pair<uint16_t, uint8_t>> m_deletedUnmapped;
    CMorvaneMapportDlg* m_owner = nullptr;
    bool m_settingCheck = false;
};
