#include "Model/Tools/DNSMapping.h"

#include <fmt/format.h>

namespace pemtrox {

std::optional<DNSMapping> DNSMapping::fromDictionary(const nlohmann::json& dictionary) {
    if (!dictionary.is_object() || dictionary.empty())
        return std::nullopt;
    auto match = dictionary.find("hostnameMatch");
    if (match == dictionary.end() || !match->is_object())
        return std::nullopt;
    auto definition = MatchDefinition::fromDictionary(*match);
    auto address = dictionary.find("address");
    if (!definition || address == dictionary.end() || !address->is_string())
        return std::nullopt;
    return DNSMapping{std::move(*definition), address->get<std::string>()};
}

std::vector<DNSMapping> DNSMapping::decodeList(const std::optional<nlohmann::json>& stored,
                                               std::string_view listName) {
    std::vector<DNSMapping> list;
    if (!stored || !isDictionaryList(*stored))
        return list;
    std::size_t number = 0; // counted as the user sees the stored list, left-out elements too
    for (const auto& element : *stored) {
        ++number;
        if (auto mapping = fromDictionary(element)) {
            auto where = fmt::format("{}, mapping {}, hostnameMatch", listName, number);
            MatchDefinition::warnIfMisread(element.at("hostnameMatch"), where);
            mapping->hostnameMatchDefinition.compile(element.at("hostnameMatch"), where);
            list.push_back(std::move(*mapping));
        }
    }
    return list;
}

std::string DNSMapping::description() const {
    return hostnameMatchDefinition.hostnamePattern.value_or("*") + "  \u2192 " + address;
}

} // namespace pemtrox
