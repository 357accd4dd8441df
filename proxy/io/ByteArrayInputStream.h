#pragma once

#include <memory>

#include "proxy/io/AbstractInputStream.h"

namespace pemtrox {

/// An input stream over bytes in memory. Answers every read inside the read call.
class ByteArrayInputStream : public AbstractInputStream {
public:
    static std::shared_ptr<ByteArrayInputStream> make(Data data);
    explicit ByteArrayInputStream(Data data) : buf_(std::move(data)) {}

protected:
    void readAny(std::optional<std::uint64_t> maxLength) override;
    void readLength(std::uint64_t length) override;
    void readMarker(const Data& marker, std::uint64_t maxLength) override;
    /// Gives up the unread bytes, then ends as the base does.
    void closeImpl(ErrorPtr error, CloseCompletion completion) override;

private:
    Data buf_;
    std::size_t pos_ = 0;
};

} // namespace pemtrox
