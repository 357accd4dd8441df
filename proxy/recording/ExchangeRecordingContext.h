#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "proxy/recording/RecordingMetadata.h"

namespace pemtrox {

class Fields;
struct ExchangeRecording;

/// What the recording listener keeps of one recorded exchange between its callbacks. Made when
/// the exchange is selected, it stays in the exchange record until the exchange ends (completed,
/// failed, cancelled, or stopped after a failed write). Every callback of an exchange runs on
/// its server's queue, one at a time, so nothing here is locked; what the writer's lane shares
/// with this side lies in the store's record of the exchange (`recording()`).
class ExchangeRecordingContext {
public:
    explicit ExchangeRecordingContext(std::shared_ptr<ExchangeRecording> recording);

    const std::shared_ptr<ExchangeRecording>& recording() const { return recording_; }
    /// False once the writer has stopped the exchange after a failed write, or let it go on
    /// without its recording while stuck.
    bool active() const;

    /// A step that changes metadata.json alone: true when it is the first of the queue's
    /// turn, whose end then builds the metadata once for all of them.
    bool deferMetadata();
    /// Whether a step's metadata waits for the end of the queue's turn.
    bool metadataWaits() const { return metadataWaits_; }
    /// The metadata is built now: none waits any more. The times' texts, for building it.
    RecordingTimeTexts& buildMetadata();
    /// The exchange ends for the listener: metadata that waits for the turn's end is not built.
    void end() { metadataWaits_ = false; }
    /// Whether a body piece arriving at `now` writes metadata.json: the first piece after any
    /// other step does, then one at most every `interval`. Noted as written when it does.
    bool bodyMetadataDue(std::chrono::steady_clock::time_point now,
                         std::chrono::steady_clock::duration interval);
    void bodyMetadataWritten(std::chrono::steady_clock::time_point now) { lastBodyMetadata_ = now; }

    /// The head's text when it differs from the last one handed over for its file (which it
    /// then becomes), else none.
    std::optional<std::string> changedHead(const Fields& head, bool request);
    /// How many bytes of a body piece of `size` go to the writer below `cap`, counted as
    /// handed over; none when the piece adds nothing. The first piece goes even when empty:
    /// it makes the file.
    std::optional<std::size_t> bodyBytes(bool request, std::size_t size, std::int64_t cap);

private:
    const std::shared_ptr<ExchangeRecording> recording_;
    /// Body bytes handed to the writer so far, per direction, -1 before the first piece: what
    /// lies beyond the cap is neither copied nor queued.
    std::int64_t requestQueued_ = -1, responseQueued_ = -1;
    bool metadataWaits_ = false;
    /// The heads last handed over, so that a head sent on as it was received is not copied
    /// and queued again.
    std::string requestHeadGiven_, responseHeadGiven_;
    /// When metadata.json was last replaced at a body piece; unset after any other step.
    std::optional<std::chrono::steady_clock::time_point> lastBodyMetadata_;
    /// The texts of the exchange's times in its latest metadata.
    RecordingTimeTexts times_;
};

} // namespace pemtrox
