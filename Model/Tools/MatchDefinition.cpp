#include "Model/Tools/MatchDefinition.h"

#include "Model/Tools/LegacyMatchType.h"
#include "Model/Tools/MatchPattern.h"
#include "platform/Log.h"
#include "platform/Regex.h"

namespace pemtrox {

namespace {

using json = nlohmann::json;

std::optional<std::string> textEntry(const json& dictionary, const char* key) {
    auto it = dictionary.find(key);
    if (it == dictionary.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

// What the loader makes of an enabled location other than it is written, or none.
std::optional<std::string> misreading(const json& dictionary) {
    auto type = dictionary.find("type");
    std::string typeText = type != dictionary.end() && type->is_string() ? type->get<std::string>() : "";
    if (matchTypeFromString(typeText)) {
        std::string ignored;
        for (const char* key : {"protocol", "hostname", "port", "path", "query"}) {
            auto entry = dictionary.find(key);
            if (entry != dictionary.end() && !entry->is_string())
                ignored += fmt::format("{}{} ignored: not a text", ignored.empty() ? "" : "; ", key);
        }
        return ignored.empty() ? std::nullopt : std::optional(ignored);
    }
    if (legacyMatchTypeFromString(typeText)) {
        if (textEntry(dictionary, "hostname"))
            return std::nullopt;
        return fmt::format("type \"{}\" without a text \"hostname\": matches every exchange", typeText);
    }
    if (type == dictionary.end())
        return "no type: matches every exchange";
    return fmt::format(
        "type {} is none of Glob, Regex, Exact, Prefix, Suffix, Contains: matches every exchange",
        type->dump(-1, ' ', false, json::error_handler_t::replace));
}

} // namespace

std::optional<MatchDefinition> MatchDefinition::fromDictionary(const json& dictionary) {
    if (!dictionary.is_object())
        return std::nullopt;
    auto enabled = dictionary.find("enabled");
    if (enabled == dictionary.end() || !enabled->is_boolean())
        return std::nullopt;

    MatchDefinition definition;
    definition.enabled = enabled->get<bool>();
    std::string typeText = textEntry(dictionary, "type").value_or("");
    if (auto type = matchTypeFromString(typeText)) {
        definition.type = *type;
        definition.protocolPattern = textEntry(dictionary, "protocol");
        definition.hostnamePattern = textEntry(dictionary, "hostname");
        definition.portPattern = textEntry(dictionary, "port");
        definition.pathPattern = textEntry(dictionary, "path");
        definition.queryPattern = textEntry(dictionary, "query");
        return definition;
    }
    // Older host-only forms; an unknown type, or one without a host, keeps no pattern at all
    // and so matches every exchange while enabled.
    definition.type = MatchType::Glob;
    auto legacy = legacyMatchTypeFromString(typeText);
    auto host = textEntry(dictionary, "hostname");
    if (legacy && host)
        definition.hostnamePattern = legacyHostPattern(*legacy, *host);
    return definition;
}

std::vector<MatchDefinition> MatchDefinition::decodeList(const std::optional<json>& stored,
                                                         std::string_view listName) {
    return decode(stored, listName, false);
}

std::vector<MatchDefinition> MatchDefinition::loadList(const std::optional<json>& stored,
                                                       std::string_view listName) {
    return decode(stored, listName, true);
}

std::vector<MatchDefinition> MatchDefinition::decode(const std::optional<json>& stored,
                                                     std::string_view listName, bool compiling) {
    std::vector<MatchDefinition> list;
    if (!stored || !isDictionaryList(*stored))
        return list;
    std::size_t number = 0; // counted as the user sees the stored list, left-out elements too
    for (const auto& element : *stored) {
        ++number;
        if (auto definition = fromDictionary(element)) {
            auto where = fmt::format("{}, location {}", listName, number);
            warnIfMisread(element, where);
            if (compiling)
                definition->compile(element, where);
            list.push_back(std::move(*definition));
        }
    }
    return list;
}

void MatchDefinition::warnIfMisread(const json& dictionary, std::string_view where) {
    auto enabled = dictionary.find("enabled");
    if (enabled == dictionary.end() || !enabled->is_boolean() || !enabled->get<bool>())
        return;
    if (auto what = misreading(dictionary))
        LOG_WARNING("{} {}: {}", where, dictionary.dump(-1, ' ', false, json::error_handler_t::replace),
                    *what);
}

void MatchDefinition::compile(const json& dictionary, std::string_view where) {
    if (!enabled)
        return;
    auto parts = std::make_shared<std::array<std::optional<CompiledPattern>, 5>>();
    const std::optional<std::string>* patterns[] = {&protocolPattern, &hostnamePattern, &portPattern,
                                                    &pathPattern, &queryPattern};
    for (std::size_t i = 0; i < parts->size(); ++i) {
        if (!*patterns[i])
            continue;
        auto& part = (*parts)[i].emplace(CompiledPattern{**patterns[i], nullptr});
        try {
            part.expression = compilePattern(type, part.pattern);
        } catch (const RegexError& error) {
            // Reported here, once per load: the exchanges it is tried on stay quiet.
            LOG_WARNING("{} {}: Failed to match pattern \"{}\": {}", where,
                        dictionary.dump(-1, ' ', false, json::error_handler_t::replace), part.pattern,
                        error.description());
        }
    }
    compiled = std::move(parts);
}

bool MatchDefinition::partPasses(std::size_t part, const std::optional<std::string>& value,
                                 const std::optional<std::string>& pattern) const {
    if (!value || !pattern)
        return true;
    if (compiled) {
        if (const auto& loaded = (*compiled)[part]; loaded && loaded->pattern == *pattern)
            return loaded->expression && matchCompiledPattern(*loaded->expression, *value, *pattern);
    }
    return matchPattern(type, *value, *pattern);
}

bool MatchDefinition::matches(const std::optional<std::string>& scheme,
                              const std::optional<std::string>& host, std::optional<std::int64_t> port,
                              const std::optional<std::string>& path,
                              const std::optional<std::string>& query) const {
    if (!enabled)
        return false;
    std::optional<std::string> portText;
    if (port)
        portText = std::to_string(*port);
    return partPasses(0, scheme, protocolPattern) && partPasses(1, host, hostnamePattern) &&
           partPasses(2, portText, portPattern) && partPasses(3, path, pathPattern) &&
           partPasses(4, query, queryPattern);
}

std::string MatchDefinition::description() const {
    std::string text;
    if (protocolPattern)
        text += *protocolPattern + "://";
    if (hostnamePattern)
        text += *hostnamePattern;
    if (portPattern)
        text += ":" + *portPattern;
    if (pathPattern)
        text += "/" + *pathPattern;
    if (queryPattern)
        text += "?" + *queryPattern;
    return text;
}

bool MatchDefinition::operator==(const MatchDefinition& other) const {
    return type == other.type && protocolPattern == other.protocolPattern &&
           hostnamePattern == other.hostnamePattern && portPattern == other.portPattern &&
           pathPattern == other.pathPattern && queryPattern == other.queryPattern;
}

bool isDictionaryList(const json& value) {
    if (!value.is_array())
        return false;
    for (const auto& element : value)
        if (!element.is_object())
            return false;
    return true;
}

} // namespace pemtrox
