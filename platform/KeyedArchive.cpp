#include "platform/KeyedArchive.h"

#include <cstdlib>
#include <memory>

#include <plist/plist.h>

#include "platform/Error.h"

namespace pemtrox {

namespace {
struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;
} // namespace

void KeyedArchive::encode(const std::string& key, Value value) { entries_.emplace_back(key, std::move(value)); }

KeyedArchive::Bytes KeyedArchive::finish() const {
    PlistPtr root(plist_new_dict());
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_t top = plist_new_dict();
    for (const auto& [key, value] : entries_) {
        std::uint64_t uid = 0;
        if (auto* s = std::get_if<std::string>(&value)) {
            uid = plist_array_get_size(objects);
            plist_array_append_item(objects, plist_new_string(s->c_str()));
        } else if (auto* b = std::get_if<Bytes>(&value)) {
            uid = plist_array_get_size(objects);
            plist_array_append_item(objects,
                                    plist_new_data(reinterpret_cast<const char*>(b->data()), b->size()));
        }
        plist_dict_set_item(top, key.c_str(), plist_new_uid(uid));
    }
    plist_dict_set_item(root.get(), "$version", plist_new_uint(100000));
    plist_dict_set_item(root.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_dict_set_item(root.get(), "$top", top);
    plist_dict_set_item(root.get(), "$objects", objects);

    char* out = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root.get(), &out, &length);
    if (!out)
        throw GenericError("Failed to encode the keyed archive");
    Bytes result(reinterpret_cast<std::uint8_t*>(out), reinterpret_cast<std::uint8_t*>(out) + length);
    plist_to_bin_free(out);
    return result;
}

} // namespace pemtrox
