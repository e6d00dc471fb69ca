// Reading a request's query the strict way every endpoint does: a closed set of names, none twice.
#pragma once

#include "VellumarMacCore/Foundations/HTTPPath.h"
#include "VellumarMacCore/Relay/QueryNumbers.h"

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::detail {

// Throws RelayHTTPError 400 "bad_request" with `message` when an item has a name outside `allowed`
// or a name comes twice.
void requireOnlyQueryNames(
    const QueryItems& query, std::initializer_list<std::string_view> allowed, std::string_view message);

// The value of the item named `name`, or null.
const std::string* queryItem(const QueryItems& query, std::string_view name);

}
