#include "proxy/io/CustomOutputStream.h"

#include "platform/Log.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<CustomOutputStream> CustomOutputStream::make() {
    return Plumber::make<CustomOutputStream>();
}

void CustomOutputStream::write(Data data, bool flush, OutputStreamWriteCompletion completion) {
    if (!onWrite)
        fatalError("CustomOutputStream doesn't have an onWrite handler");
    onWrite(std::move(data), flush, std::move(completion));
}

void CustomOutputStream::closeImpl(ErrorPtr error, CloseCompletion completion) {
    if (onClose) {
        onClose(std::move(error), std::move(completion));
        return;
    }
    if (completion)
        completion(std::move(error));
}

} // namespace pemtrox
