#pragma once

#include "platform/Log.h"

namespace pemtrox {

/// The system's log line: "yyyy-MM-dd HH:mm:ss:SSS FLAG  message", debug lines followed
/// by "  [file:line]". Local time, calendar year.
class CustomLogFormatter : public LogFormatter {
public:
    std::string format(const LogMessage& message) override;
    /// The four-letter word of a flag value; "UNKN" for anything but a single known flag.
    static const char* flagWord(std::uint32_t flag);
    /// The timestamp part of a line.
    static std::string formatTime(std::chrono::system_clock::time_point time);
};

} // namespace pemtrox
