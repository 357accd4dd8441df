#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/recording/BodyFile.h"
#include "proxy/recording/FileDescriptor.h"
#include "proxy/recording/RecordingMetadata.h"

namespace pemtrox {

class ExchangePause;

/// The recording root held open: the exchanges' files are opened by short names from this
/// handle instead of walking the root's whole path for each.
struct StoreRoot {
    FileDescriptor handle;
    std::filesystem::path path;
};

/// The recording of one exchange: its directory in the store, the files in it, and what the
/// listener's callbacks keep between the exchange's steps. The file work runs one step at a
/// time under `mutex` (on the listener's writer, or inside the callbacks), while the next
/// callback may already run on the server's queue.
struct ExchangeRecording {
    ~ExchangeRecording() { release(); }

    /// Where the exchange's directory stands; guarded by the listener's directory lock.
    enum class Directory : std::uint8_t { waiting, made, failed };

    /// Makes the directory `name` (mode 0700) in the root; false, with errno set, when it
    /// cannot (EEXIST: the name is taken).
    bool makeDirectory(std::shared_ptr<const StoreRoot> root, std::string name);
    /// Removes the directory when it is still empty; false when it is not, or is not there.
    bool removeEmptyDirectory();
    /// The directory's path; empty before it is made.
    std::filesystem::path directory() const;
    /// The spare through which the files are replaced: `name` in the directory of temporary
    /// files; removed at release when the exchange `owns` it, else it serves other exchanges
    /// after this one.
    void useSpare(std::shared_ptr<const StoreRoot> temporary, std::string name, bool owns);
    /// Replaces a file of the directory with the text unless it holds it already (`written`),
    /// through the spare. `written` then takes the text, and `text` the buffer of what the
    /// file held before. Throws the system's error.
    void replace(const char* file, std::string& text, std::string& written);
    /// Appends to the request or the response body file up to the cap (see BodyFile).
    void appendBody(bool request, std::string_view bytes, std::int64_t cap);
    /// Closes the body files and removes a spare of its own; a later step takes them up again.
    void release();

    /// The exchange's number in the listener's series, and where its directory stands; both
    /// under the listener's directory lock (the number changes when its name is taken).
    std::int64_t number = 0;
    Directory directoryState = Directory::waiting;
    int directoryAttempts = 0;
    /// Set when the exchange is cancelled: a directory not made yet is never made.
    std::atomic<bool> cancelled = false;
    /// Whether metadata.json has been written once: a directory whose first one fails goes.
    bool metadataWritten = false;

    /// False once cancelled or stopped after a failure: nothing more is written. Set under
    /// `mutex`; callbacks read it without, to skip work that would be dropped anyway.
    std::atomic<bool> active = true;
    /// Set by the callback that stops or cancels the exchange: no later step is handed over,
    /// so none can take the place of the steps before it while they wait for the writer.
    std::atomic<bool> ended = false;
    std::mutex mutex;
    /// What each replaced file holds, so that a step that would write the same bytes again
    /// (the head as received and as sent on, a step that changes no member) writes nothing.
    std::string metadata, requestHead, responseHead;
    /// The text of the last metadata step skipped since metadata.json was last written.
    std::string skippedMetadata;

    /// The number of the latest metadata and heads handed over: a step whose text a later one
    /// of its kind has replaced while it waited is skipped, so that a writer behind the
    /// exchange writes each file once, with the latest text, after what was queued before it.
    std::atomic<std::uint64_t> metadataNumber = 0, requestHeadNumber = 0, responseHeadNumber = 0;

    /// Guards the callbacks' own state below.
    std::mutex stepMutex;
    /// Body bytes handed to the writer so far, per direction, -1 before the first piece: what
    /// lies beyond the cap is neither copied nor queued.
    std::int64_t requestQueued = -1, responseQueued = -1;
    /// Whether a step's metadata waits for the end of its queue's turn to be built: the steps
    /// that change nothing but metadata.json in one turn then build it once.
    bool metadataWaits = false;
    /// The heads last handed over (the serving side's view of requestHead and responseHead),
    /// so that a head sent on as it was received is not copied and queued again.
    std::string requestHeadGiven, responseHeadGiven;
    /// When metadata.json was last replaced at a body piece; unset after any other step.
    std::optional<std::chrono::steady_clock::time_point> lastBodyMetadata;
    /// The texts of the exchange's times in its latest metadata.
    RecordingTimeTexts times;

    /// The writer's lane that does the exchange's file work.
    std::size_t lane = 0;
    /// The exchange's copying, which the writer pauses while it is behind.
    std::shared_ptr<ExchangePause> pause;
    /// Whether the writer holds `pause` now; guarded by the writer's lock.
    bool pausedByWriter = false;

private:
    /// The name of a file of the directory, relative to the root.
    std::string inDirectory(const char* file) const;

    std::shared_ptr<const StoreRoot> root_;
    std::string name_;
    std::optional<BodyFile> requestBody_, responseBody_;
    std::shared_ptr<const StoreRoot> temporary_;
    std::string spare_;
    /// Whether the spare is the exchange's own and may be there.
    bool ownsSpare_ = false, spareMade_ = false;
};

} // namespace pemtrox
