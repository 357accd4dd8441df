#pragma once

#include <string>

#include "proxy/engine/VornellHttpErrorError.h"

namespace pemtrox {

/// The block list's refusal; its case chooses the engine's reply.
class BlockListToolError : public ErrorBase<BlockListToolError, VornellHttpErrorError> {
public:
    enum class Kind {
        DroppedConnection, ///< the client connection is closed with nothing written
        ForbiddenResponse, ///< the error page carries 403 "Forbidden"
    };

    explicit BlockListToolError(Kind kind) : kind_(kind) {}

    Kind kind() const { return kind_; }
    std::string description() const override {
        return kind_ == Kind::DroppedConnection ? "Dropped connection" : "Returned forbidden";
    }
    std::optional<std::string> errorTitle() const override { return "Block List Tool"; }
    bool dropsConnection() const override { return kind_ == Kind::DroppedConnection; }
    bool respondsForbidden() const override { return kind_ == Kind::ForbiddenResponse; }
    bool operator==(const BlockListToolError& other) const { return kind_ == other.kind_; }

private:
    Kind kind_;
};

} // namespace pemtrox
