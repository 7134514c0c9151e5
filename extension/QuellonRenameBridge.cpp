#include "QuellonRenameBridge.h"

namespace quellon {

QuellonRenameBridge& QuellonRenameBridge::shared()
{
    static QuellonRenameBridge bridge;
    return bridge;
}

void QuellonRenameBridge::setApply(Apply apply)
{
    std::lock_guard lock(mutex_);
    apply_ = std::move(apply);
}

QuellonRenameBridge::Apply QuellonRenameBridge::apply() const
{
    std::lock_guard lock(mutex_);
    return apply_;
}

} // namespace quellon
