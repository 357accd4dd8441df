#pragma once

#include <string>

namespace pemtrox {

class ProxyEvent;

/// The text of an exchange's "metadata.json": the exchange record's fields as one compact
/// JSON object, members in a fixed order, unknown values left out.
std::string recordingMetadata(const ProxyEvent& event);

} // namespace pemtrox
