#include "proxy/io/NoCloseOutputStream.h"

#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<NoCloseOutputStream> NoCloseOutputStream::make(std::shared_ptr<MyOutputStream> target) {
    return Plumber::make<NoCloseOutputStream>(std::move(target));
}

} // namespace pemtrox
