#include "proxy/engine/RefusedCertificateLog.h"

#include "platform/Log.h"

namespace pemtrox {

RefusedCertificateLog& RefusedCertificateLog::shared() {
    static RefusedCertificateLog log;
    return log;
}

bool RefusedCertificateLog::report(const std::string& host, const std::string& reason,
                                   Clock::time_point now) {
    {
        std::lock_guard lock(mutex_);
        auto key = std::make_pair(host, reason);
        auto found = logged_.find(key);
        if (found != logged_.end() && now - found->second < period_)
            return false;
        if (found == logged_.end() && logged_.size() >= capacity_) {
            std::erase_if(logged_, [&](const auto& entry) { return now - entry.second >= period_; });
            if (logged_.size() >= capacity_)
                return false;
        }
        logged_[key] = now;
    }
    LOG_WARNING("Refused the certificate of the intercepted server {}: {}", host, reason);
    return true;
}

} // namespace pemtrox
