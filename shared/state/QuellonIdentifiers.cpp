#include "state/QuellonIdentifiers.h"

#include "platform/UserDefaults.h"
#include "state/UnicodeText.h"

namespace quellon::QuellonIdentifiers {

std::string effectiveVirtualCameraName(const UserDefaults& defaults)
{
    if (auto stored = defaults.string(customCameraNameKey)) {
        std::string trimmed(trimWhitespaceAndNewlines(*stored));
        if (!trimmed.empty())
            return trimmed;
    }
    return virtualCameraName;
}

std::string effectiveVirtualCameraName()
{
    return effectiveVirtualCameraName(UserDefaults::standard());
}

} // namespace quellon::QuellonIdentifiers
