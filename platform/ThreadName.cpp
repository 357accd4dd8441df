#include "platform/ThreadName.h"

#include <pthread.h>

#include <string>

namespace pemtrox {

void nameCurrentThread(std::string_view name) {
    std::string cut(name.substr(0, threadNameLength));
    pthread_setname_np(pthread_self(), cut.c_str());
}

} // namespace pemtrox
