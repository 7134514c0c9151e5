#include "StatusNotifierItem.h"

#include <sdbus-c++/sdbus-c++.h>

namespace quellon {

namespace {

constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
using Pixmap = sdbus::Struct<std::int32_t, std::int32_t, std::vector<std::uint8_t>>;
using ToolTip = sdbus::Struct<std::string, std::vector<Pixmap>, std::string, std::string>;

std::vector<Pixmap> toDBus(const std::vector<IconPixmap>& pixmaps)
{
    std::vector<Pixmap> result;
    for (const auto& p : pixmaps)
        result.emplace_back(p.width, p.height, p.argb);
    return result;
}

} // namespace

StatusNotifierItem::StatusNotifierItem(sdbus::IConnection& connection, std::string serviceName, std::string menuPath,
                                       std::string iconThemePath, Actions actions)
    : connection_(connection), serviceName_(std::move(serviceName)), menuPath_(std::move(menuPath)),
      iconThemePath_(std::move(iconThemePath)), actions_(std::move(actions)), symbol_(statusSymbol("live"))
{
    for (const auto& symbol : allStatusSymbols())
        pixmaps_[symbol.symbolName] = renderStatusSymbolSizes(symbol.symbolName);

    object_ = sdbus::createObject(connection_, objectPath);
    auto& object = *object_;
    const auto text = [&object](const char* name, std::function<std::string()> getter) {
        object.registerProperty(name).onInterface(kItemInterface).withGetter(std::move(getter));
    };
    text("Category", [] { return std::string("ApplicationStatus"); });
    text("Id", [] { return std::string("quellon"); });
    text("Title", [] { return std::string("Quellon"); });
    text("Status", [] { return std::string("Active"); });
    text("IconThemePath", [this] { return iconThemePath_; });
    text("IconName", [this] { return symbol_.iconName; });
    text("OverlayIconName", [] { return std::string(); });
    text("AttentionIconName", [] { return std::string(); });
    text("AttentionMovieName", [] { return std::string(); });
    object.registerProperty("WindowId").onInterface(kItemInterface).withGetter([] { return std::int32_t(0); });
    object.registerProperty("ItemIsMenu").onInterface(kItemInterface).withGetter([] { return false; });
    object.registerProperty("Menu").onInterface(kItemInterface).withGetter([this] {
        return sdbus::ObjectPath(menuPath_);
    });
    object.registerProperty("IconPixmap").onInterface(kItemInterface).withGetter([this] {
        return toDBus(pixmaps_[symbol_.symbolName]);
    });
    for (const char* empty : {"OverlayIconPixmap", "AttentionIconPixmap"})
        object.registerProperty(empty).onInterface(kItemInterface).withGetter([] { return std::vector<Pixmap>{}; });
    object.registerProperty("ToolTip").onInterface(kItemInterface).withGetter([this] {
        return ToolTip{symbol_.iconName, toDBus(pixmaps_[symbol_.symbolName]), symbol_.accessibilityDescription, ""};
    });

    object.registerMethod("Activate").onInterface(kItemInterface).withInputParamNames("x", "y").implementedAs(
        [this](std::int32_t x, std::int32_t y) { actions_.activate(x, y); });
    object.registerMethod("ContextMenu").onInterface(kItemInterface).withInputParamNames("x", "y").implementedAs(
        [this](std::int32_t x, std::int32_t y) { actions_.contextMenu(x, y); });
    // A middle click means nothing to us; scrolling neither.
    object.registerMethod("SecondaryActivate").onInterface(kItemInterface).withInputParamNames("x", "y").implementedAs(
        [](std::int32_t, std::int32_t) {});
    object.registerMethod("Scroll").onInterface(kItemInterface).withInputParamNames("delta", "orientation").implementedAs(
        [](std::int32_t, const std::string&) {});

    for (const char* signal : {"NewTitle", "NewIcon", "NewAttentionIcon", "NewOverlayIcon", "NewToolTip"})
        object.registerSignal(signal).onInterface(kItemInterface);
    object.registerSignal("NewStatus").onInterface(kItemInterface).withParameters<std::string>("status");
    object.finishRegistration();

    watcher_ = sdbus::createProxy(connection_, watcherName, "/StatusNotifierWatcher");
    // A watcher that starts after us (a panel starting or restarting) must learn about us.
    sdbus::Slot slot = connection_.addMatch(
        std::string("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                    "member='NameOwnerChanged',arg0='")
            + watcherName + "'",
        [this](sdbus::Message& message) {
            std::string name, oldOwner, newOwner;
            message >> name >> oldOwner >> newOwner;
            if (!newOwner.empty())
                registerWithWatcher();
        });
    auto deleter = slot.get_deleter();
    watcherAppears_ = std::shared_ptr<void>(slot.release(), std::move(deleter));
}

StatusNotifierItem::~StatusNotifierItem() = default;

void StatusNotifierItem::setSymbol(const StatusSymbol& symbol)
{
    if (symbol == symbol_)
        return;
    symbol_ = symbol;
    object_->emitSignal("NewIcon").onInterface(kItemInterface);
    object_->emitSignal("NewToolTip").onInterface(kItemInterface);
}

void StatusNotifierItem::registerWithWatcher()
{
    // No watcher yet is normal: the NameOwnerChanged match registers us when one appears.
    watcher_->callMethodAsync("RegisterStatusNotifierItem")
        .onInterface(watcherName)
        .withArguments(serviceName_)
        .uponReplyInvoke([](const sdbus::Error*) {});
}

} // namespace quellon
