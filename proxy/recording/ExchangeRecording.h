#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
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
struct ExchangeRecording {
    ~ExchangeRecording() { release(); }

    /// Where the exchange's directory stands; guarded by the store writer's directory lock.
    enum class Directory : std::uint8_t { waiting, made, failed };

    /// Makes the directory `name` (mode 0700) in the root; false, with errno set, when it
    /// cannot (EEXIST: the name is taken).
    bool makeDirectory(std::shared_ptr<const StoreRoot> root, std::string name);
    /// Removes the directory when it is still empty; false when it is not, or is not there.
    bool removeEmptyDirectory();
    /// The directory's path; empty before it is made.
    std::filesystem::path directory() const;
    /// The spare through which the files are replaced: `name` in the directory of temporary
    /// files, the lane's, which serves the lane's other exchanges after this one.
    void useSpare(std::shared_ptr<const StoreRoot> temporary, std::string name);
    /// Replaces a file of the directory with the text unless it holds it already (`written`),
    /// through the spare. `written` then takes the text, and `text` the buffer of what the
    /// file held before. Throws the system's error.
    void replace(const char* file, std::string& text, std::string& written);
    /// Appends to the request or the response body file up to the cap (see BodyFile).
    void appendBody(bool request, std::string_view bytes, std::int64_t cap);
    /// Closes the body files; a later step opens them again.
    void release();

    /// The exchange's number in the store writer's series, and where its directory stands;
    /// both under the store writer's directory lock (whichever lane gets to it first makes it;
    /// the number changes when its name is taken).
    std::int64_t number = 0;
    Directory directoryState = Directory::waiting;
    int directoryAttempts = 0;
    /// Set on the server's queue when the exchange is cancelled, read by the lane that makes
    /// the directory: a directory not made yet is never made.
    std::atomic<bool> cancelled = false;
    /// Whether metadata.json has been written once: a directory whose first one fails goes.
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

    /// The writer's lane that does the exchange's file work; set before its first step.
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
};

} // namespace pemtrox
