#include "DBusMenuExporter.h"

#include <sdbus-c++/sdbus-c++.h>
#include <variant>

namespace quellon {

namespace {

constexpr const char* interfaceName = "com.canonical.dbusmenu";

using Properties = std::map<std::string, sdbus::Variant>;
/// Property values before they become variants, so that two menus can be compared.
using Value = std::variant<std::string, bool, std::int32_t>;
using Values = std::map<std::string, Value>;
using Layout = sdbus::Struct<std::int32_t, Properties, std::vector<sdbus::Variant>>;
using ItemProperties = sdbus::Struct<std::int32_t, Properties>;
using RemovedProperties = sdbus::Struct<std::int32_t, std::vector<std::string>>;

/// The item's properties; defaults (visible, enabled, type "standard") are left out, as
/// hosts expect.
Values valuesOf(const MenuEntry& entry)
{
    Values values;
    if (entry.kind == MenuEntry::Kind::separator) {
        values["type"] = std::string("separator");
        return values;
    }
    values["label"] = entry.title;
    if (!entry.enabled)
        values["enabled"] = false;
    if (entry.checked) {
        values["toggle-type"] = std::string("checkmark");
        values["toggle-state"] = std::int32_t(*entry.checked ? 1 : 0);
    }
    return values;
}

Properties toProperties(const Values& values)
{
    Properties properties;
    for (const auto& [key, value] : values)
        properties[key] = std::visit([](const auto& v) { return sdbus::Variant(v); }, value);
    return properties;
}

Properties propertiesOf(const MenuEntry& entry)
{
    return toProperties(valuesOf(entry));
}

Properties rootProperties()
{
    return {{"children-display", sdbus::Variant(std::string("submenu"))}};
}

Properties filtered(Properties properties, const std::vector<std::string>& names)
{
    if (names.empty())
        return properties;
    Properties kept;
    for (const auto& name : names)
        if (auto it = properties.find(name); it != properties.end())
            kept.insert(*it);
    return kept;
}

} // namespace

struct DBusMenuExporter::Impl {
    std::unique_ptr<sdbus::IObject> object;

    std::optional<Properties> propertiesOf(const StatusMenu& menu, std::int32_t id) const
    {
        if (id == 0)
            return rootProperties();
        if (id < 0 || static_cast<std::size_t>(id) > menu.size())
            return std::nullopt;
        return quellon::propertiesOf(menu[static_cast<std::size_t>(id) - 1]);
    }
};

DBusMenuExporter::DBusMenuExporter(sdbus::IConnection& connection, std::string objectPath,
                                   std::function<void()> aboutToShow, std::function<void(std::size_t)> clicked)
    : objectPath_(std::move(objectPath)), aboutToShow_(std::move(aboutToShow)), clicked_(std::move(clicked)),
      impl_(std::make_unique<Impl>())
{
    auto& object = *(impl_->object = sdbus::createObject(connection, objectPath_));
    const auto unknownItem = [](std::int32_t id) {
        return sdbus::Error("com.canonical.dbusmenu.Error.UnknownItem", "no menu item " + std::to_string(id));
    };

    object.registerMethod("GetLayout")
        .onInterface(interfaceName)
        .withInputParamNames("parentId", "recursionDepth", "propertyNames")
        .withOutputParamNames("revision", "layout")
        .implementedAs([this, unknownItem](std::int32_t parentId, std::int32_t depth, std::vector<std::string> names) {
            auto properties = impl_->propertiesOf(menu_, parentId);
            if (!properties)
                throw unknownItem(parentId);
            std::vector<sdbus::Variant> children;
            if (parentId == 0 && depth != 0)
                for (std::size_t i = 0; i < menu_.size(); ++i)
                    children.emplace_back(Layout{static_cast<std::int32_t>(i + 1),
                                                 filtered(quellon::propertiesOf(menu_[i]), names), {}});
            return std::tuple<std::uint32_t, Layout>{revision_, Layout{parentId, filtered(*properties, names), children}};
        });
    object.registerMethod("GetGroupProperties")
        .onInterface(interfaceName)
        .withInputParamNames("ids", "propertyNames")
        .withOutputParamNames("properties")
        .implementedAs([this](std::vector<std::int32_t> ids, std::vector<std::string> names) {
            std::vector<ItemProperties> result;
            if (ids.empty())
                for (std::size_t i = 0; i <= menu_.size(); ++i)
                    ids.push_back(static_cast<std::int32_t>(i));
            for (auto id : ids)
                if (auto properties = impl_->propertiesOf(menu_, id))
                    result.emplace_back(id, filtered(*properties, names));
            return result;
        });
    object.registerMethod("GetProperty")
        .onInterface(interfaceName)
        .withInputParamNames("id", "name")
        .withOutputParamNames("value")
        .implementedAs([this, unknownItem](std::int32_t id, const std::string& name) {
            auto properties = impl_->propertiesOf(menu_, id);
            if (!properties)
                throw unknownItem(id);
            auto it = properties->find(name);
            if (it == properties->end())
                throw sdbus::Error("com.canonical.dbusmenu.Error.UnknownProperty", "no property " + name);
            return it->second;
        });
    const auto event = [this](std::int32_t id, const std::string& eventId) {
        if (id < 1 || static_cast<std::size_t>(id) > menu_.size())
            return false;
        if (eventId == "clicked" && menu_[static_cast<std::size_t>(id) - 1].command)
            clicked_(static_cast<std::size_t>(id) - 1);
        return true;
    };
    object.registerMethod("Event")
        .onInterface(interfaceName)
        .withInputParamNames("id", "eventId", "data", "timestamp")
        .implementedAs([event](std::int32_t id, const std::string& eventId, const sdbus::Variant&, std::uint32_t) {
            event(id, eventId);
        });
    object.registerMethod("EventGroup")
        .onInterface(interfaceName)
        .withInputParamNames("events")
        .withOutputParamNames("idErrors")
        .implementedAs([event](const std::vector<sdbus::Struct<std::int32_t, std::string, sdbus::Variant, std::uint32_t>>& events) {
            std::vector<std::int32_t> errors;
            for (const auto& e : events)
                if (!event(e.get<0>(), e.get<1>()))
                    errors.push_back(e.get<0>());
            return errors;
        });
    object.registerMethod("AboutToShow")
        .onInterface(interfaceName)
        .withInputParamNames("id")
        .withOutputParamNames("needUpdate")
        .implementedAs([this](std::int32_t) {
            const auto before = revision_;
            aboutToShow_();
            return revision_ != before;
        });
    object.registerMethod("AboutToShowGroup")
        .onInterface(interfaceName)
        .withInputParamNames("ids")
        .withOutputParamNames("updatesNeeded", "idErrors")
        .implementedAs([this](const std::vector<std::int32_t>& ids) {
            const auto before = revision_;
            aboutToShow_();
            std::vector<std::int32_t> updates, errors;
            for (auto id : ids) {
                if (!impl_->propertiesOf(menu_, id))
                    errors.push_back(id);
                else if (revision_ != before)
                    updates.push_back(id);
            }
            return std::tuple<std::vector<std::int32_t>, std::vector<std::int32_t>>{updates, errors};
        });
    object.registerProperty("Version").onInterface(interfaceName).withGetter([] { return std::uint32_t(3); });
    object.registerProperty("TextDirection").onInterface(interfaceName).withGetter([] { return std::string("ltr"); });
    object.registerProperty("Status").onInterface(interfaceName).withGetter([] { return std::string("normal"); });
    object.registerProperty("IconThemePath").onInterface(interfaceName).withGetter([] {
        return std::vector<std::string>{};
    });
    object.registerSignal("ItemsPropertiesUpdated")
        .onInterface(interfaceName)
        .withParameters<std::vector<ItemProperties>, std::vector<RemovedProperties>>("updatedProps", "removedProps");
    object.registerSignal("LayoutUpdated").onInterface(interfaceName).withParameters<std::uint32_t, std::int32_t>("revision", "parent");
    object.registerSignal("ItemActivationRequested")
        .onInterface(interfaceName)
        .withParameters<std::int32_t, std::uint32_t>("id", "timestamp");
    object.finishRegistration();
}

DBusMenuExporter::~DBusMenuExporter() = default;

void DBusMenuExporter::setMenu(const StatusMenu& menu)
{
    if (menu == menu_)
        return;
    std::vector<ItemProperties> updated;
    std::vector<RemovedProperties> removed;
    for (std::size_t i = 0; i < menu.size(); ++i) {
        const auto now = valuesOf(menu[i]);
        if (i >= menu_.size()) {
            updated.emplace_back(static_cast<std::int32_t>(i + 1), toProperties(now));
            continue;
        }
        const auto before = valuesOf(menu_[i]);
        Values changed;
        std::vector<std::string> gone;
        for (const auto& [key, value] : now)
            if (auto it = before.find(key); it == before.end() || it->second != value)
                changed.insert({key, value});
        for (const auto& [key, value] : before)
            if (!now.count(key))
                gone.push_back(key);
        if (!changed.empty())
            updated.emplace_back(static_cast<std::int32_t>(i + 1), toProperties(changed));
        if (!gone.empty())
            removed.emplace_back(static_cast<std::int32_t>(i + 1), gone);
    }
    menu_ = menu;
    ++revision_;
    auto& object = *impl_->object;
    if (!updated.empty() || !removed.empty())
        object.emitSignal("ItemsPropertiesUpdated").onInterface(interfaceName).withArguments(updated, removed);
    // Some hosts only listen for layout changes; the revision tells them to read it again.
    object.emitSignal("LayoutUpdated").onInterface(interfaceName).withArguments(revision_, std::int32_t(0));
}

} // namespace quellon
