#include "proxy/io/DataOutputStream.h"

#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<DataOutputStream> DataOutputStream::make() {
    return Plumber::make<DataOutputStream>();
}

void DataOutputStream::write(Data data, bool, OutputStreamWriteCompletion completion) {
    if (data_.empty())
        data_ = std::move(data);
    else
        data_.insert(data_.end(), data.begin(), data.end());
    if (completion)
        completion(OutputStreamWriteHandlerResult::ready());
}

} // namespace pemtrox
