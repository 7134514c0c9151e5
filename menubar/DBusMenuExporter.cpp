#include "DBusMenuExporter.h"

#include <sdbus-c++/sdbus-c++.h>
#include <deque>
#include <variant>

namespace quellon {

namespace {

constexpr const char* kMenuInterface = "com.canonical.dbusmenu";

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
    if (entry.kind == MenuEntry::Kind::submenu)
        values["children-display"] = std::string("submenu");
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
};

std::vector<DBusMenuExporter::Item> DBusMenuExporter::flatten(const StatusMenu& menu)
{
    // Breadth first, so the top-level entries keep the ids of their places.
    std::vector<Item> items;
    std::deque<std::pair<const std::vector<MenuEntry>*, std::int32_t>> pending{{&menu, 0}};
    while (!pending.empty()) {
        const auto [entries, parent] = pending.front();
        pending.pop_front();
        for (const MenuEntry& entry : *entries) {
            const auto id = static_cast<std::int32_t>(items.size() + 1);
            items.push_back({&entry, parent, {}});
            if (parent > 0)
                items[static_cast<std::size_t>(parent) - 1].children.push_back(id);
            if (!entry.children.empty())
                pending.emplace_back(&entry.children, id);
        }
    }
    return items;
}

DBusMenuExporter::DBusMenuExporter(sdbus::IConnection& connection, std::string objectPath,
                                   std::function<void()> aboutToShow, std::function<void(const MenuEntry&)> clicked)
    : objectPath_(std::move(objectPath)), aboutToShow_(std::move(aboutToShow)), clicked_(std::move(clicked)),
      impl_(std::make_unique<Impl>())
{
    auto& object = *(impl_->object = sdbus::createObject(connection, objectPath_));
    const auto exists = [this](std::int32_t id) { return id >= 0 && static_cast<std::size_t>(id) <= items_.size(); };
    const auto propertiesOfId = [this](std::int32_t id) {
        return id == 0 ? rootProperties() : quellon::propertiesOf(*items_[static_cast<std::size_t>(id) - 1].entry);
    };
    const auto childrenOf = [this](std::int32_t id) {
        std::vector<std::int32_t> children;
        if (id > 0)
            return items_[static_cast<std::size_t>(id) - 1].children;
        for (std::size_t i = 0; i < items_.size(); ++i)
            if (items_[i].parent == 0)
                children.push_back(static_cast<std::int32_t>(i + 1));
        return children;
    };
    // A depth of -1 means all levels.
    const auto layoutOf = [propertiesOfId, childrenOf](std::int32_t id, std::int32_t depth, const std::vector<std::string>& names) {
        const auto build = [&](const auto& self, std::int32_t at, std::int32_t levels) -> Layout {
            std::vector<sdbus::Variant> children;
            if (levels != 0)
                for (std::int32_t child : childrenOf(at))
                    children.emplace_back(self(self, child, levels < 0 ? levels : levels - 1));
            return Layout{at, filtered(propertiesOfId(at), names), children};
        };
        return build(build, id, depth);
    };
    const auto unknownItem = [](std::int32_t id) {
        return sdbus::Error("com.canonical.dbusmenu.Error.UnknownItem", "no menu item " + std::to_string(id));
    };

    object.registerMethod("GetLayout")
        .onInterface(kMenuInterface)
        .withInputParamNames("parentId", "recursionDepth", "propertyNames")
        .withOutputParamNames("revision", "layout")
        .implementedAs([this, unknownItem, exists, layoutOf](std::int32_t parentId, std::int32_t depth, std::vector<std::string> names) {
            if (!exists(parentId))
                throw unknownItem(parentId);
            servedRevision_ = revision_;
            return std::tuple<std::uint32_t, Layout>{revision_, layoutOf(parentId, depth, names)};
        });
    object.registerMethod("GetGroupProperties")
        .onInterface(kMenuInterface)
        .withInputParamNames("ids", "propertyNames")
        .withOutputParamNames("properties")
        .implementedAs([this, exists, propertiesOfId](std::vector<std::int32_t> ids, std::vector<std::string> names) {
            std::vector<ItemProperties> result;
            if (ids.empty())
                for (std::size_t i = 0; i <= items_.size(); ++i)
                    ids.push_back(static_cast<std::int32_t>(i));
            for (auto id : ids)
                if (exists(id))
                    result.emplace_back(id, filtered(propertiesOfId(id), names));
            return result;
        });
    object.registerMethod("GetProperty")
        .onInterface(kMenuInterface)
        .withInputParamNames("id", "name")
        .withOutputParamNames("value")
        .implementedAs([unknownItem, exists, propertiesOfId](std::int32_t id, const std::string& name) {
            if (!exists(id))
                throw unknownItem(id);
            const auto properties = propertiesOfId(id);
            auto it = properties.find(name);
            if (it == properties.end())
                throw sdbus::Error("com.canonical.dbusmenu.Error.UnknownProperty", "no property " + name);
            return it->second;
        });
    const auto event = [this](std::int32_t id, const std::string& eventId) {
        if (id < 1 || static_cast<std::size_t>(id) > items_.size())
            return false;
        // A copy: the handler may rebuild the menu.
        const MenuEntry entry = *items_[static_cast<std::size_t>(id) - 1].entry;
        if (eventId == "clicked" && entry.enabled && (entry.command || entry.choice))
            clicked_(entry);
        return true;
    };
    object.registerMethod("Event")
        .onInterface(kMenuInterface)
        .withInputParamNames("id", "eventId", "data", "timestamp")
        .implementedAs([event](std::int32_t id, const std::string& eventId, const sdbus::Variant&, std::uint32_t) {
            event(id, eventId);
        });
    object.registerMethod("EventGroup")
        .onInterface(kMenuInterface)
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
        .onInterface(kMenuInterface)
        .withInputParamNames("id")
        .withOutputParamNames("needUpdate")
        .implementedAs([this](std::int32_t) {
            // Against the layout last read, not the one before this call: a change made a
            // moment earlier (say, by a reply from the host) is news to the client as well.
            aboutToShow_();
            return revision_ != servedRevision_;
        });
    object.registerMethod("AboutToShowGroup")
        .onInterface(kMenuInterface)
        .withInputParamNames("ids")
        .withOutputParamNames("updatesNeeded", "idErrors")
        .implementedAs([this, exists](const std::vector<std::int32_t>& ids) {
            aboutToShow_();
            std::vector<std::int32_t> updates, errors;
            for (auto id : ids) {
                if (!exists(id))
                    errors.push_back(id);
                else if (revision_ != servedRevision_)
                    updates.push_back(id);
            }
            return std::tuple<std::vector<std::int32_t>, std::vector<std::int32_t>>{updates, errors};
        });
    object.registerProperty("Version").onInterface(kMenuInterface).withGetter([] { return std::uint32_t(3); });
    object.registerProperty("TextDirection").onInterface(kMenuInterface).withGetter([] { return std::string("ltr"); });
    object.registerProperty("Status").onInterface(kMenuInterface).withGetter([] { return std::string("normal"); });
    object.registerProperty("IconThemePath").onInterface(kMenuInterface).withGetter([] {
        return std::vector<std::string>{};
    });
    object.registerSignal("ItemsPropertiesUpdated")
        .onInterface(kMenuInterface)
        .withParameters<std::vector<ItemProperties>, std::vector<RemovedProperties>>("updatedProps", "removedProps");
    object.registerSignal("LayoutUpdated").onInterface(kMenuInterface).withParameters<std::uint32_t, std::int32_t>("revision", "parent");
    object.registerSignal("ItemActivationRequested")
        .onInterface(kMenuInterface)
        .withParameters<std::int32_t, std::uint32_t>("id", "timestamp");
    object.finishRegistration();
}

DBusMenuExporter::~DBusMenuExporter() = default;

void DBusMenuExporter::setMenu(const StatusMenu& menu)
{
    if (menu == menu_)
        return;
    const std::vector<Item> next = flatten(menu);
    std::vector<ItemProperties> updated;
    std::vector<RemovedProperties> removed;
    for (std::size_t i = 0; i < next.size(); ++i) {
        const auto now = valuesOf(*next[i].entry);
        if (i >= items_.size()) {
            updated.emplace_back(static_cast<std::int32_t>(i + 1), toProperties(now));
            continue;
        }
        const auto before = valuesOf(*items_[i].entry);
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
    items_ = flatten(menu_);
    ++revision_;
    auto& object = *impl_->object;
    if (!updated.empty() || !removed.empty())
        object.emitSignal("ItemsPropertiesUpdated").onInterface(kMenuInterface).withArguments(updated, removed);
    // Some hosts only listen for layout changes; the revision tells them to read it again.
    object.emitSignal("LayoutUpdated").onInterface(kMenuInterface).withArguments(revision_, std::int32_t(0));
}

} // namespace quellon
