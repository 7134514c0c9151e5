#pragma once

#include "StatusIcons.h"
#include "StatusMenu.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace sdbus {
class IConnection;
class IObject;
class IProxy;
} // namespace sdbus

namespace quellon {

/// The tray item: an org.kde.StatusNotifierItem at /StatusNotifierItem, registered with the
/// desktop's org.kde.StatusNotifierWatcher, and registered again whenever a watcher appears
/// on the bus later (a panel that starts or restarts after us). Runs on the connection's
/// loop thread.
class StatusNotifierItem {
public:
    static constexpr const char* objectPath = "/StatusNotifierItem";
    static constexpr const char* watcherName = "org.kde.StatusNotifierWatcher";

    struct Actions {
        std::function<void(int x, int y)> activate;    // plain click, screen coordinates
        std::function<void(int x, int y)> contextMenu; // the host asks for the menu
    };

    /// serviceName is the bus name the watcher is told; menuPath the exported dbusmenu.
    StatusNotifierItem(sdbus::IConnection& connection, std::string serviceName, std::string menuPath,
                       std::string iconThemePath, Actions actions);
    ~StatusNotifierItem();

    /// Shows symbol (icon, pixmaps and tooltip), telling the host with NewIcon and NewToolTip.
    void setSymbol(const StatusSymbol& symbol);
    const StatusSymbol& symbol() const { return symbol_; }

    /// Asks the watcher, if one runs, to show this item. Never waits for the answer.
    void registerWithWatcher();

private:
    sdbus::IConnection& connection_;
    std::string serviceName_;
    std::string menuPath_;
    std::string iconThemePath_;
    Actions actions_;
    StatusSymbol symbol_;
    std::map<std::string, std::vector<IconPixmap>> pixmaps_; // rendered once per symbol
    std::unique_ptr<sdbus::IObject> object_;
    std::unique_ptr<sdbus::IProxy> watcher_;
    std::shared_ptr<void> watcherAppears_;
};

} // namespace quellon
