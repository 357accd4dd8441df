#pragma once

#include <string>

#include "platform/Error.h"

namespace pemtrox {

/// Failures of the recording. Reporting title "Recording Error".
class RecordingError : public ErrorBase<RecordingError> {
public:
    enum class Kind { writeFailed, recordingAlreadyExistsAtURL };

    static RecordingError writeFailed(std::string message) {
        return RecordingError(Kind::writeFailed, std::move(message));
    }
    static RecordingError recordingAlreadyExistsAtURL() {
        return RecordingError(Kind::recordingAlreadyExistsAtURL, {});
    }

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    std::string description() const override {
        return kind_ == Kind::writeFailed ? "Failed to write data: " + message_
                                          : "Recording already exists at URL";
    }
    std::optional<std::string> errorTitle() const override { return "Recording Error"; }
    bool operator==(const RecordingError& other) const {
        return kind_ == other.kind_ && message_ == other.message_;
    }

private:
    RecordingError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
};

} // namespace pemtrox
