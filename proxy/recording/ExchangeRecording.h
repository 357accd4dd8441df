#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/recording/BodyFile.h"
#include "proxy/recording/FileDescriptor.h"

namespace pemtrox {

class ExchangePause;

/// The recording root held open: the exchanges' files are opened by short names from this
/// handle instead of walking the root's whole path for each.
struct StoreRoot {
    FileDescriptor handle;
    std::filesystem::path path;
};

/// The recording of one exchange in the store: its directory, the files in it and what they
/// hold. Its file work runs on its one lane of the writer, one step after the other; the
/// exchange's context (ExchangeRecordingContext), on the server's queue, hands the steps over.
/// What both sides read is marked as such and atomic.
///
/// The directory is made among the temporaries and moved into the store once it holds its
/// first metadata.json, by whichever lane publishes the store's next directory: the place of
/// the directory is guarded by a lock of its own, which the exchange's file work holds.
struct ExchangeRecording {
    ~ExchangeRecording() { release(); }

    /// Where the exchange's directory stands; guarded by the store writer's directory lock.
    /// `ready`: among the temporaries with its first metadata.json, to be moved into the store.
    enum class Directory : std::uint8_t { waiting, ready, published, failed };

    /// The directory of temporaries and the names the exchange makes there: `file` for each
    /// new content of a file, `directory` for the exchange's directory until it is published.
    void useTemporaries(std::shared_ptr<const StoreRoot> temporary, std::string file, std::string directory);
    /// Makes the exchange's directory (mode 0700) among the temporaries; false, with errno
    /// set, when it cannot.
    bool makeTemporaryDirectory();
    /// Moves the directory into the store as `name` in `root`, never over a name that is
    /// taken. 0, or the errno of the rename (EEXIST or ENOTEMPTY: the name is taken).
    int moveInto(std::shared_ptr<const StoreRoot> root, std::string name);
    /// Removes the directory with whatever is in it, wherever it lies: one in the store is
    /// first moved out among the temporaries, so that neither a reader nor a crash of the
    /// process finds it half removed. 0, or the errno of the failure.
    int removeDirectory();
    /// The directory's path; empty before it is made.
    std::filesystem::path directory() const;
    /// Replaces a file of the directory with the text unless it holds it already (`written`),
    /// through a fresh temporary file. `written` then takes the text, and `text` the buffer of
    /// what the file held before. Throws the system's error.
    void replace(const char* file, std::string& text, std::string& written);
    /// Appends to the request or the response body file up to the cap (see BodyFile).
    void appendBody(bool request, std::string_view bytes, std::int64_t cap);
    /// Closes the body files; a later step opens them again.
    void release();

    /// The exchange's number in the store writer's series, and where its directory stands;
    /// both under the store writer's directory lock (whichever lane gets to it first publishes
    /// it; the number changes when its name is taken).
    std::int64_t number = 0;
    Directory directoryState = Directory::waiting;
    int directoryAttempts = 0;
    /// Set on the server's queue when the exchange is cancelled, read by the lane that
    /// publishes the directory: a directory not published yet never is.
    std::atomic<bool> cancelled = false;
    /// Whether metadata.json has been written once; the exchange's lane only.
    bool metadataWritten = false;

    /// Cleared on the lane once cancelled or stopped after a failure: nothing more is written.
    /// The server's queue reads it to hand over no more steps.
    std::atomic<bool> active = true;
    /// What each replaced file holds, so that a step that would write the same bytes again
    /// (the head as received and as sent on, a step that changes no member) writes nothing.
    std::string metadata, requestHead, responseHead;
    /// The text of the last metadata step skipped since metadata.json was last written.
    std::string skippedMetadata;

    /// The number of the latest metadata and heads handed over, counted on the server's queue
    /// and read on the lane: a step whose text a later one of its kind has replaced while it
    /// waited is skipped, so that a writer behind the exchange writes each file once, with the
    /// latest text, after what was queued before it.
    std::atomic<std::uint64_t> metadataNumber = 0, requestHeadNumber = 0, responseHeadNumber = 0;

    /// Set by the writer when it is stuck and lets the exchange go on without its recording:
    /// nothing more of it is queued, and the server's queue hands over no more steps.
    std::atomic<bool> abandoned = false;

    /// The writer's lane that does the exchange's file work; set before its first step.
    std::size_t lane = 0;
    /// The exchange's copying, which the writer pauses while it is behind.
    std::shared_ptr<ExchangePause> pause;
    /// Whether the writer holds `pause` now; guarded by the writer's lock.
    bool pausedByWriter = false;

private:
    /// The name of a file of the directory, relative to the directory's root.
    std::string inDirectory(const char* file) const;

    /// Guards root_, name_ and the body files' places: another lane may move the directory.
    mutable std::mutex placeMutex_;
    /// The directory is `name_` in `root_`: the temporaries' directory, then the store's root.
    std::shared_ptr<const StoreRoot> root_;
    std::string name_;
    std::optional<BodyFile> requestBody_, responseBody_;
    std::shared_ptr<const StoreRoot> temporary_;
    std::string temporaryFile_, temporaryDirectory_;
};

} // namespace pemtrox
