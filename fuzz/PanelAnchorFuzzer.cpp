// The tray's panel anchor file: decoding gives nothing or an anchor that encodes and decodes back
// to itself. Nothing may be thrown.

#include "FuzzSupport.h"
#include "menubar/MenuBarBridge.h"

using namespace quellon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (const auto anchor = MenuBarBridge::decodePanelAnchor(fuzz::text(data, size)))
        fuzz::require(MenuBarBridge::decodePanelAnchor(MenuBarBridge::encodePanelAnchor(*anchor)) == anchor,
                      "a decoded anchor round-trips");
    return 0;
}
