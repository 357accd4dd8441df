#include "platform/DescriptorWatch.h"

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

namespace pemtrox {

struct DescriptorWatch::Impl {
    Impl(asio::io_context& io, int fd) : descriptor(io, fd) {}
    asio::posix::stream_descriptor descriptor;
};

DescriptorWatch::DescriptorWatch(asio::io_context& io, int fd) : impl_(std::make_unique<Impl>(io, fd)) {}

DescriptorWatch::~DescriptorWatch() = default;

int DescriptorWatch::descriptor() const {
    return impl_->descriptor.is_open() ? impl_->descriptor.native_handle() : -1;
}

void DescriptorWatch::waitReadable(std::function<void(bool readable)> handler) {
    // The handler holds nothing of the watch: it may run after the watch is gone.
    impl_->descriptor.async_wait(
        asio::posix::stream_descriptor::wait_read,
        [handler = std::move(handler)](const std::error_code& error) { handler(!error); });
}

void DescriptorWatch::close() {
    std::error_code ignored;
    impl_->descriptor.close(ignored);
}

} // namespace pemtrox
