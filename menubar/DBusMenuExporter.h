#pragma once

#include "StatusMenu.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sdbus {
class IConnection;
class IObject;
} // namespace sdbus

namespace quellon {

/// Exports a StatusMenu as com.canonical.dbusmenu, the menu a tray host opens on a right
/// click. The root has id 0; the top-level entries have ids 1, 2, … in menu order, and the
/// entries of submenus the ids after them, submenu by submenu. Runs on the connection's loop
/// thread.
class DBusMenuExporter {
public:
    /// aboutToShow runs when the host is about to open the menu (it should call setMenu);
    /// clicked runs with a command or choice entry the user chose.
    DBusMenuExporter(sdbus::IConnection& connection, std::string objectPath, std::function<void()> aboutToShow,
                     std::function<void(const MenuEntry& entry)> clicked);
    ~DBusMenuExporter();

    /// Shows menu from now on; when it differs from the current one, the revision goes up and
    /// ItemsPropertiesUpdated and LayoutUpdated tell the host.
    void setMenu(const StatusMenu& menu);
    std::uint32_t revision() const { return revision_; }
    const std::string& objectPath() const { return objectPath_; }

private:
    struct Impl;
    /// An entry of the menu by its id - 1, and where it sits.
    struct Item {
        const MenuEntry* entry;
        std::int32_t parent;
        std::vector<std::int32_t> children;
    };
    static std::vector<Item> flatten(const StatusMenu& menu);

    std::string objectPath_;
    StatusMenu menu_;
    std::vector<Item> items_; // points into menu_
    std::uint32_t revision_ = 1;
    std::uint32_t servedRevision_ = 0; // the revision the last GetLayout returned
    std::function<void()> aboutToShow_;
    std::function<void(const MenuEntry&)> clicked_;
    std::unique_ptr<Impl> impl_;
};

} // namespace quellon
