#pragma once

#include <optional>
#include <string>

#include "platform/Error.h"

namespace pemtrox {

/// A failed host-name lookup. Reporting title "Name Lookup Error".
class InetAddressError : public ErrorBase<InetAddressError> {
public:
    enum class Kind { getByNameFailed };

    static InetAddressError getByNameFailed(std::string name, std::optional<int> code = std::nullopt,
                                            std::optional<std::string> message = std::nullopt) {
        return InetAddressError(std::move(name), code, std::move(message));
    }

    Kind kind() const { return Kind::getByNameFailed; }
    const std::string& name() const { return name_; }
    const std::optional<int>& code() const { return code_; }
    const std::optional<std::string>& message() const { return message_; }

    std::string description() const override {
        if (!message_)
            return "Name lookup failed: " + name_;
        return "Name lookup failed: " + name_ + " (#" + std::to_string(code_.value_or(0)) + " " + *message_ +
               ")";
    }
    std::optional<std::string> errorTitle() const override { return "Name Lookup Error"; }

private:
    InetAddressError(std::string name, std::optional<int> code, std::optional<std::string> message)
        : name_(std::move(name)), code_(code), message_(std::move(message)) {}
    std::string name_;
    std::optional<int> code_;
    std::optional<std::string> message_;
};

} // namespace pemtrox
