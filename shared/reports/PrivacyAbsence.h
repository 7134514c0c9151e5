#pragma once

#include <string>
#include <vector>

namespace quellon {

/// One thing the build cannot do with the user's data, and why it cannot.
struct PrivacyAbsence {
    std::string thing;
    std::string reason;

    bool operator==(const PrivacyAbsence&) const = default;
};

namespace PrivacyAbsences {

/// The six things the build structurally cannot do, in the order a receipt lists them.
/// Built once and never changed.
const std::vector<PrivacyAbsence>& canonical();

} // namespace PrivacyAbsences

} // namespace quellon
