#include "VellumarMacCore/Relay/RouterQuery.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"

#include <algorithm>
#include <set>

namespace vellumar::detail {

void requireOnlyQueryNames(
    const QueryItems& query, std::initializer_list<std::string_view> allowed, std::string_view message)
{
    std::set<std::string_view> names;
    for (const auto& [name, value] : query) {
        if (std::ranges::find(allowed, std::string_view(name)) == allowed.end() || !names.insert(name).second)
            throw RelayHTTPError::badRequest(std::string(message));
    }
}

const std::string* queryItem(const QueryItems& query, std::string_view name)
{
    auto item = std::ranges::find(query, name, &QueryItems::value_type::first);
    return item == query.end() ? nullptr : &item->second;
}

}
