#pragma once

#include <array>
#include <string>

#include "proxy/io/ISO8601.h"

namespace pemtrox {

class ProxyEvent;

/// The texts of an exchange's times as its metadata last held them: a time that has not
/// changed since is not formatted again (the metadata is built at nearly every step).
class RecordingTimeTexts {
public:
    /// The ISO 8601 text of the time in the slot's place (one per member of "times").
    const std::string& text(std::size_t slot, Date date);

private:
    struct Entry {
        Date date;
        std::string text;
    };
    std::array<Entry, 5> entries_;
};

/// The text of an exchange's "metadata.json": the exchange record's fields as one compact
/// JSON object, members in a fixed order, unknown values left out. `times`, when given, keeps
/// the times' texts for the exchange's next steps; the text is written in the room of `buffer`.
std::string recordingMetadata(const ProxyEvent& event, RecordingTimeTexts* times = nullptr,
                              std::string buffer = {});

} // namespace pemtrox
