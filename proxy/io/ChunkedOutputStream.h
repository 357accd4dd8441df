#pragma once

#include "proxy/io/FilterOutputStream.h"

namespace pemtrox {

/// Writes each block to its target as one HTTP chunk (size line, bytes, CRLF; the three
/// pieces one after the other, each after the previous completed), and the last chunk
/// when closed without an error. An empty block sends nothing: an empty chunk would end
/// the body for the receiver.
class ChunkedOutputStream : public FilterOutputStream {
public:
    static std::shared_ptr<ChunkedOutputStream> make(std::shared_ptr<MyOutputStream> target);
    explicit ChunkedOutputStream(std::shared_ptr<MyOutputStream> target)
        : FilterOutputStream(std::move(target)) {}

    /// The caller's flush flag is not passed on; all pieces go with flush false.
    void write(Data data, bool flush, OutputStreamWriteCompletion completion) override;

protected:
    void closeImpl(ErrorPtr error, CloseCompletion completion) override;
};

} // namespace pemtrox
