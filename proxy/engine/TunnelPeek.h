#pragma once

#include <functional>
#include <vector>

namespace pemtrox {

/// The read of the server's first bytes that runs while the tunnel waits for the
/// client's: a server that speaks first (SMTP, FTP, IMAP) sends the tunnel straight to the
/// opaque copy. Its bytes are put back into the server's stream, and whoever reads the
/// server next waits until the read has been answered.
class TunnelPeek {
public:
    bool resolved = false;
    void whenResolved(std::function<void()> then) {
        if (resolved)
            then();
        else
            waiting_.push_back(std::move(then));
    }
    void resolve() {
        resolved = true;
        auto waiting = std::move(waiting_);
        for (auto& then : waiting)
            then();
    }

private:
    std::vector<std::function<void()>> waiting_;
};

} // namespace pemtrox
