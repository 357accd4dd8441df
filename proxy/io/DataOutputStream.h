#pragma once

#include "proxy/io/AbstractOutputStream.h"

namespace pemtrox {

/// Collects what is written in memory. Writes succeed even after close.
class DataOutputStream : public AbstractOutputStream {
public:
    static std::shared_ptr<DataOutputStream> make();

    void write(Data data, bool flush, OutputStreamWriteCompletion completion) override;

    const Data& data() const { return data_; }
    Data& data() { return data_; }

private:
    Data data_;
};

} // namespace pemtrox
