#include "proxy/recording/PrintWriter.h"

namespace pemtrox {

bool PrintWriter::tryWrite(std::string_view text) {
    try {
        parent_->write(text);
        return true;
    } catch (...) {
        error_ = currentError();
        return false;
    }
}

void PrintWriter::print(std::string_view text) {
    tryWrite(text);
}

void PrintWriter::println(std::string_view text) {
    if (tryWrite(text))
        tryWrite("\n");
}

} // namespace pemtrox
