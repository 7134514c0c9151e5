#include "HelperDelegate.h"

#include "host/HostBus.h"
#include "menubar/MainLoop.h"
#include "menubar/NotificationBus.h"

#include <iostream>
#include <sdbus-c++/sdbus-c++.h>

namespace quellon {

namespace {

constexpr const char* menuPath = "/MenuBar";

/// True when the bus refused the name because another connection owns it.
bool ownedElsewhere(const sdbus::Error& error)
{
    return error.getName() == "System.Error.EEXIST" || error.getName() == "org.freedesktop.DBus.Error.FileExists";
}

} // namespace

HelperDelegate::HelperDelegate(NotificationBus& bus, std::string iconThemePath)
    : bus_(bus), iconThemePath_(std::move(iconThemePath))
{
}

bool HelperDelegate::applicationDidFinishLaunching()
{
    // 1. One copy per session: the bus name is the lock, released by the bus when we go.
    try {
        bus_.connection().requestName(MenuBarBridge::helperBundleID);
    } catch (const sdbus::Error& error) {
        if (ownedElsewhere(error))
            return false;
        throw;
    }

    // 2. The tray item, showing the initial mode.
    menuExporter_.emplace(bus_.connection(), menuPath, [this] { refreshMenu(); },
                          [this](const MenuEntry& entry) {
                              if (entry.choice)
                                  choose(*entry.choice);
                              else
                                  fire(entry.command);
                          });
    statusItem.emplace(bus_.connection(), MenuBarBridge::helperBundleID, menuPath, iconThemePath_,
                       StatusNotifierItem::Actions{[this](int x, int y) { statusButtonClicked(x, y); },
                                                   [this](int, int) { contextMenuRequested(); }});
    statusItem->setSymbol(statusIcon(mode));
    statusItem->registerWithWatcher();

    // 3.
    refreshMenu();

    // 4. Observers, in protocol order.
    for (const char* text : MenuBarBridge::modes)
        observe(std::string(MenuBarBridge::modePrefix) + text, [this, text] {
            mode = text;
            if (statusItem)
                statusItem->setSymbol(statusIcon(mode));
            refreshMenu();
        });
    for (const char* text : MenuBarBridge::bools)
        observe(std::string(MenuBarBridge::autoReturnPrefix) + text, [this, text] {
            autoReturn = std::string_view(text) == "on";
            refreshMenu();
        });
    for (const char* text : MenuBarBridge::loops)
        observe(std::string(MenuBarBridge::hasLoopsPrefix) + text, [this, text] {
            hasLoops = std::string_view(text) == "yes";
            refreshMenu();
        });
    observe(MenuBarBridge::mainTerminating, [this] { bus_.loop().quit(0); });

    // 5. Last, so that the app's answer finds every observer in place.
    MenuBarBridge::post(MenuBarBridge::helperReady);
    return true;
}

void HelperDelegate::observe(std::string name, std::function<void()> handler)
{
    observers.push_back(std::make_unique<DarwinObserver>(bus_, std::move(name), std::move(handler)));
}

void HelperDelegate::statusButtonClicked(int x, int y)
{
    // The host gives only the click position; the anchor is that point.
    MenuBarBridge::writePanelAnchor(PanelAnchor{double(x), double(y), 0, 0});
    MenuBarBridge::send(MenuBarBridge::Command::togglePanel);
}

void HelperDelegate::contextMenuRequested()
{
    refreshMenu();
}

void HelperDelegate::fire(std::optional<MenuBarBridge::Command> represented)
{
    if (represented)
        MenuBarBridge::send(*represented);
}

void HelperDelegate::choose(const MenuChoice& choice)
{
    if (!hostProxy_)
        hostProxy_ = sdbus::createProxy(bus_.connection(), host::HostBus::serviceName, host::HostBus::objectPath);
    const char* method = choice.kind == MenuChoice::Kind::loop ? "SetLoop" : "SetCamera";
    // Never waits: the reply comes back through the loop. A refusal has no other place to go
    // than the log: the host tells the user through its own notifications.
    hostProxy_->callMethodAsync(method)
        .onInterface(host::HostBus::interfaceName)
        .withArguments(choice.value)
        .uponReplyInvoke([this, method](const sdbus::Error* error) {
            if (error)
                std::cerr << "quellon-menubar: " << method << " failed: " << error->getMessage() << "\n";
            refreshMenu();
        });
}

void HelperDelegate::refreshMenu()
{
    fallbackMenu = buildStatusMenu(mode, autoReturn, currentMenuChoices());
    if (menuExporter_)
        menuExporter_->setMenu(fallbackMenu);
}

} // namespace quellon
