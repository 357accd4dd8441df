#include "proxy/io/Plumber.h"

#include <cxxabi.h>

#include <cstdlib>
#include <list>
#include <mutex>
#include <typeindex>
#include <unordered_map>

#include "platform/Log.h"

namespace pemtrox {

namespace {

struct Table {
    std::mutex mutex;
    std::list<PlumberCounter> counters; // stable addresses; rows are never removed
    std::unordered_map<std::string, PlumberCounter*> byKey;
    std::unordered_map<std::type_index, PlumberCounter*> byType;
};

Table& table() {
    static Table* t = new Table(); // counted objects may die during static destruction
    return *t;
}

std::string demangledKey(const std::type_info& type) {
    int status = 0;
    char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string full = status == 0 && name ? name : type.name();
    std::free(name);
    // Drop namespaces (ours and template arguments' are kept as written).
    auto templateStart = full.find('<');
    auto lastColon = full.rfind("::", templateStart == std::string::npos ? std::string::npos : templateStart);
    if (lastColon != std::string::npos)
        full = full.substr(lastColon + 2);
    return std::string(plumberModuleName) + "." + full;
}

} // namespace

PlumberCounter* Plumber::counterFor(const std::type_info& type) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    if (auto it = t.byType.find(type); it != t.byType.end())
        return it->second;
    auto key = demangledKey(type);
    PlumberCounter* counter;
    if (auto it = t.byKey.find(key); it != t.byKey.end()) {
        counter = it->second;
    } else {
        counter = &t.counters.emplace_back();
        counter->key = key;
        t.byKey.emplace(key, counter);
    }
    t.byType.emplace(type, counter);
    return counter;
}

PlumberTracked::~PlumberTracked() {
    Plumber::trackDeinit(*this);
}

std::string Plumber::typeKey(const PlumberTracked& object) {
    // A counted object's counter holds its key already: demangling costs more than the rest
    // of making a socket's name.
    if (object.plumberCounter_)
        return object.plumberCounter_->key;
    return demangledKey(typeid(object));
}

void Plumber::trackInit(PlumberTracked& object) {
    trackInit(object, counterFor(typeid(object)));
}

void Plumber::trackInit(PlumberTracked& object, PlumberCounter* counter) {
    object.plumberCounter_ = counter;
    auto value = counter->value.fetch_add(1) + 1;
    LOG_VERBOSE("INIT {} ({})", counter->key, value);
}

void Plumber::trackDeinit(PlumberTracked& object) {
    PlumberCounter* counter = object.plumberCounter_;
    if (!counter)
        fatalError("trackDeinit called without corresponding trackInit: " + typeKey(object));
    object.plumberCounter_ = nullptr;
    auto value = counter->value.fetch_sub(1) - 1;
    LOG_VERBOSE("DEINIT {} ({})", counter->key, value);
    if (value < 0)
        fatalError("trackDeinit called more often than trackInit: " + counter->key);
}

std::string Plumber::report() {
    static const std::string stars(39, '*');
    LOG_INFO("{}", stars);
    LOG_INFO("PLUMBER REPORT");
    std::string result;
    {
        auto& t = table();
        std::lock_guard lock(t.mutex);
        for (auto& counter : t.counters) {
            auto value = counter.value.load();
            LOG_INFO("REPORT {} = {}", counter.key, value);
            result += counter.key + " = " + std::to_string(value) + "\n";
        }
    }
    LOG_INFO("{}", stars);
    return result;
}

std::int64_t Plumber::count(const std::string& key) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.byKey.find(key);
    return it == t.byKey.end() ? 0 : it->second->value.load();
}

} // namespace pemtrox
