#include "proxy/io/CounterInputStream.h"

#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<CounterInputStream> CounterInputStream::make(std::shared_ptr<MyInputStream> parent) {
    return Plumber::make<CounterInputStream>(std::move(parent));
}

void CounterInputStream::filter(InputStreamEvent event, InputStreamReply parentReply) {
    if (event.isData())
        counter_ += static_cast<std::int64_t>(event.data().size());
    FilterInputStream::filter(std::move(event), std::move(parentReply));
}

} // namespace pemtrox
