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

std::vector<std::pair<std::string, KeyedArchive::Value>> KeyedArchive::decode(const Bytes& archive) {
    plist_t parsed = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(archive.data()), static_cast<std::uint32_t>(archive.size()),
                   &parsed);
    PlistPtr root(parsed);
    plist_t top = root && plist_get_node_type(root.get()) == PLIST_DICT ? plist_dict_get_item(root.get(), "$top")
                                                                       : nullptr;
    plist_t objects = root ? plist_dict_get_item(root.get(), "$objects") : nullptr;
    if (!top || !objects || plist_get_node_type(top) != PLIST_DICT || plist_get_node_type(objects) != PLIST_ARRAY)
        throw GenericError("Not a keyed archive");
    std::vector<std::pair<std::string, Value>> out;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(top, &iter);
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(top, iter, &key, &item);
        if (!key)
            break;
        std::string name(key);
        std::free(key);
        std::uint64_t uid = 0;
        if (plist_get_node_type(item) == PLIST_UID)
            plist_get_uid_val(item, &uid);
        plist_t object = uid > 0 ? plist_array_get_item(objects, static_cast<std::uint32_t>(uid)) : nullptr;
        Value value;
        if (object && plist_get_node_type(object) == PLIST_STRING) {
            char* text = nullptr;
            plist_get_string_val(object, &text);
            value = std::string(text ? text : "");
            std::free(text);
        } else if (object && plist_get_node_type(object) == PLIST_DATA) {
            char* data = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(object, &data, &length);
            value = Bytes(reinterpret_cast<std::uint8_t*>(data), reinterpret_cast<std::uint8_t*>(data) + length);
            std::free(data);
        }
        out.emplace_back(std::move(name), std::move(value));
    }
    std::free(iter);
    return out;
}

} // namespace pemtrox
