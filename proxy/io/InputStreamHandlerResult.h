#pragma once

namespace pemtrox {

/// A reader's answer to one event: `more` keeps its handler installed, `done` removes it
/// (unless the handler was replaced or removed in the meantime).
enum class InputStreamHandlerResult { more, done };

} // namespace pemtrox
