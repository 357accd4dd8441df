#include "proxy/io/CustomLogFormatter.h"

#include <ctime>

namespace pemtrox {

const char* CustomLogFormatter::flagWord(std::uint32_t flag) {
    switch (flag) {
    case 1:
        return "ERRR";
    case 2:
        return "WARN";
    case 4:
        return "INFO";
    case 8:
        return "DEBG";
    case 16:
        return "VRBS";
    default:
        return "UNKN";
    }
}

std::string CustomLogFormatter::formatTime(std::chrono::system_clock::time_point time) {
    auto sinceEpoch = time.time_since_epoch();
    auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
    std::time_t t = seconds.count();
    std::tm tm{};
    localtime_r(&t, &tm);
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}:{:03}", tm.tm_year + 1900, tm.tm_mon + 1,
                       tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
}

std::string CustomLogFormatter::format(const LogMessage& message) {
    std::string line = formatTime(message.timestamp);
    line += ' ';
    line += flagWord(message.flag);
    line += "  ";
    line += message.message;
    if (message.flag == static_cast<std::uint32_t>(LogFlag::debug))
        line += fmt::format("  [{}:{}]", message.fileName(), message.line);
    return line;
}

} // namespace pemtrox
