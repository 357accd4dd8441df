#include "proxy/io/FilterOutputStream.h"

#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<FilterOutputStream> FilterOutputStream::make(std::shared_ptr<MyOutputStream> target) {
    return Plumber::make<FilterOutputStream>(std::move(target));
}

void FilterOutputStream::write(Data data, bool flush, OutputStreamWriteCompletion completion) {
    target_->write(std::move(data), flush, std::move(completion));
}

void FilterOutputStream::closeImpl(ErrorPtr error, CloseCompletion completion) {
    target_->close(std::move(error), std::move(completion));
}

} // namespace pemtrox
