#pragma once

#include <string>

#include "platform/Error.h"
#include "proxy/engine/VornellHttpErrorError.h"

namespace pemtrox::test {

/// An error that chooses the engine's reply as the block list's does: drop the connection,
/// or answer 403.
class BlockError : public ErrorBase<BlockError, VornellHttpErrorError> {
public:
    BlockError(bool drop, bool forbid) : drop_(drop), forbid_(forbid) {}
    std::string description() const override { return drop_ ? "Dropped connection" : "Returned forbidden"; }
    std::optional<std::string> errorTitle() const override { return "Block List Tool"; }
    bool dropsConnection() const override { return drop_; }
    bool respondsForbidden() const override { return forbid_; }

private:
    bool drop_, forbid_;
};

} // namespace pemtrox::test
