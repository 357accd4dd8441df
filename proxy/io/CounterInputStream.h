#pragma once

#include <cstdint>

#include "proxy/io/FilterInputStream.h"

namespace pemtrox {

/// Passes its parent's events on and counts the bytes that pass.
class CounterInputStream : public FilterInputStream {
public:
    static std::shared_ptr<CounterInputStream> make(std::shared_ptr<MyInputStream> parent);
    explicit CounterInputStream(std::shared_ptr<MyInputStream> parent)
        : FilterInputStream(std::move(parent)) {}

    std::int64_t counter() const { return counter_; }

protected:
    void filter(InputStreamEvent event, InputStreamReply parentReply) override;

private:
    std::int64_t counter_ = 0;
};

} // namespace pemtrox
