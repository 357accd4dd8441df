#include "proxy/io/HttpOutputStream.h"

#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<HttpOutputStream> HttpOutputStream::make(std::shared_ptr<MyOutputStream> target) {
    return Plumber::make<HttpOutputStream>(std::move(target));
}

} // namespace pemtrox
