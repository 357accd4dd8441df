#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>

namespace pemtrox {

/// One type's live-object count.
struct PlumberCounter {
    std::string key;
    std::atomic<std::int64_t> value{0};
};

/// Base of every counted object. It remembers the counter it was counted under, so the
/// destructor (which runs when the dynamic type is already gone) reports to the right row.
class PlumberTracked {
public:
    PlumberTracked() = default;
    PlumberTracked(const PlumberTracked&) : PlumberTracked() {}
    PlumberTracked& operator=(const PlumberTracked&) { return *this; }
    virtual ~PlumberTracked();

private:
    friend class Plumber;
    PlumberCounter* plumberCounter_ = nullptr;
};

/// Live-object counters per type, keyed by the module-qualified name of the most-derived
/// type ("VornellPacketTunnel.PipeStream"). Safe from any thread.
class Plumber {
public:
    Plumber() = delete;
    /// Counts a new object. Call once, from the factory of the most-derived type, after
    /// the object is fully made.
    static void trackInit(PlumberTracked& object);
    /// Counts an object gone. Called by ~PlumberTracked.
    static void trackDeinit(PlumberTracked& object);
    /// One row per type ever counted, "key = count\n", and the same in the log.
    static std::string report();
    /// The live count for a type key; 0 when the type was never counted.
    static std::int64_t count(const std::string& key);
    /// The type key of an object.
    static std::string typeKey(const PlumberTracked& object);

    /// make_shared plus trackInit: the factory helper of counted classes. The object's
    /// type is T itself, so its counter is looked up once per type, not per object.
    template <class T, class... Args> static std::shared_ptr<T> make(Args&&... args) {
        static PlumberCounter* const counter = counterFor(typeid(T));
        auto object = std::make_shared<T>(std::forward<Args>(args)...);
        trackInit(*object, counter);
        return object;
    }

private:
    static PlumberCounter* counterFor(const std::type_info& type);
    static void trackInit(PlumberTracked& object, PlumberCounter* counter);
};

/// The module name that prefixes type keys.
inline constexpr const char* plumberModuleName = "VornellPacketTunnel";

} // namespace pemtrox
