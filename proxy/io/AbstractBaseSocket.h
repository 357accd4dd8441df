#pragma once

#include <functional>
#include <memory>
#include <string>

#include "proxy/io/AbstractLoggable.h"
#include "proxy/io/Plumber.h"
#include "proxy/io/Socket.h"

namespace pemtrox {

/// Root of all sockets: the two close blocks and the record of the most-derived type's
/// name for the release check.
class AbstractBaseSocket : public AbstractLoggable,
                           public virtual Socket,
                           public std::enable_shared_from_this<AbstractBaseSocket> {
public:
    ~AbstractBaseSocket() override = default;

    /// Runs first when the socket closes. Null when none.
    virtual SocketCloseBlock willCloseBlock() const { return willCloseBlock_; }
    /// Adds a will-close block. Blocks are chained, not replaced: the newest runs first and
    /// its continuation runs the ones installed before it, so a socket shared by several
    /// wrappers keeps every close coupling. Null removes them all.
    virtual void setWillCloseBlock(SocketCloseBlock block);
    /// Runs after the socket and both its streams have closed, before the caller's completion.
    virtual SocketCloseBlock didCloseBlock() const { return didCloseBlock_; }
    virtual void setDidCloseBlock(SocketCloseBlock block) { didCloseBlock_ = std::move(block); }
    bool addWillCloseBlock(SocketCloseBlock block) override {
        setWillCloseBlock(std::move(block));
        return true;
    }

    /// The counted type's name ("VornellPacketTunnel.PipeSocket"), set by makeSocket.
    const std::string& typeName() const { return typeName_; }

protected:
    AbstractBaseSocket() = default;

    /// Plumber::make plus the record of the type's name, which the destructor of a base
    /// class can no longer find out. Every socket factory goes through it.
    template <class T, class... Args> static std::shared_ptr<T> makeSocket(Args&&... args) {
        auto socket = Plumber::make<T>(std::forward<Args>(args)...);
        AbstractBaseSocket& base = *socket;
        base.typeName_ = Plumber::typeKey(*socket);
        return socket;
    }

    std::shared_ptr<Socket> selfSocket() { return shared_from_this(); }
    /// A strong reference to this object as the type of the caller's `this`, sharing the
    /// socket's ownership: `selfAs(this)`.
    template <class T> std::shared_ptr<T> selfAs(T* self) {
        return std::shared_ptr<T>(shared_from_this(), self);
    }

private:
    SocketCloseBlock willCloseBlock_;
    SocketCloseBlock didCloseBlock_;
    std::string typeName_;
};

} // namespace pemtrox
