#include "proxy/io/ChunkedOutputStream.h"

#include <fmt/format.h>

#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<ChunkedOutputStream> ChunkedOutputStream::make(std::shared_ptr<MyOutputStream> target) {
    return Plumber::make<ChunkedOutputStream>(std::move(target));
}

void ChunkedOutputStream::write(Data data, bool, OutputStreamWriteCompletion completion) {
    if (data.empty()) {
        if (completion)
            completion(OutputStreamWriteHandlerResult::ready());
        return;
    }
    auto target = this->target();
    auto sizeLine = toData(fmt::format("{:x}\r\n", data.size()));
    target->write(
        std::move(sizeLine), false,
        [target, data = std::move(data), completion](OutputStreamWriteHandlerResult result) mutable {
            if (result.isError()) {
                if (completion)
                    completion(std::move(result));
                return;
            }
            target->write(std::move(data), false,
                          [target, completion](OutputStreamWriteHandlerResult result) {
                              if (result.isError()) {
                                  if (completion)
                                      completion(std::move(result));
                                  return;
                              }
                              target->write(toData("\r\n"), false, completion);
                          });
        });
}

void ChunkedOutputStream::closeImpl(ErrorPtr error, CloseCompletion completion) {
    auto target = this->target();
    if (error) {
        target->close(std::move(error), std::move(completion));
        return;
    }
    target->write(toData("0\r\n\r\n"), true, [target, completion](OutputStreamWriteHandlerResult result) {
        target->close(result.isError() ? result.error() : nullptr, completion);
    });
}

} // namespace pemtrox
