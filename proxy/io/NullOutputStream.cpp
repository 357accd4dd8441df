#include "proxy/io/NullOutputStream.h"

#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<NullOutputStream> NullOutputStream::make() {
    return Plumber::make<NullOutputStream>();
}

} // namespace pemtrox
