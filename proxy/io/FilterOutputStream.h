#pragma once

#include <memory>

#include "proxy/io/AbstractOutputStream.h"

namespace pemtrox {

/// Forwards writes, close and flush to another stream, its target. Reports the target's
/// closed flag.
class FilterOutputStream : public AbstractOutputStream {
public:
    static std::shared_ptr<FilterOutputStream> make(std::shared_ptr<MyOutputStream> target);
    explicit FilterOutputStream(std::shared_ptr<MyOutputStream> target) : target_(std::move(target)) {}

    void write(Data data, bool flush, OutputStreamWriteCompletion completion) override;
    bool isClosed() const override { return target_->isClosed(); }
    void flush() override { target_->flush(); }

    const std::shared_ptr<MyOutputStream>& target() const { return target_; }

protected:
    void closeImpl(ErrorPtr error, CloseCompletion completion) override;

private:
    std::shared_ptr<MyOutputStream> target_;
};

} // namespace pemtrox
