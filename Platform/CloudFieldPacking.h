// A record's fields packed into one value of the database, so that a record is read in one look-up
// instead of one per field, and read back from it. The packed bytes are written by other processes
// and other machines, and may come from a damaged file: reading trusts no length or kind they hold.
#pragma once

#include "Platform/CloudRecord.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace vellumar::platform {

// A field's kind as the database keeps it: the order of CloudValue's alternatives.
enum class CloudFieldKind : std::int64_t { string, date, int64, bytes, asset };

// An asset as the database keeps it: the name of the database's own copy of its file.
struct CloudAssetName {
    std::string name;
    friend bool operator==(const CloudAssetName&, const CloudAssetName&) = default;
};

// A field's value as the database keeps it, in the order of CloudFieldKind.
using CloudStoredValue = std::variant<std::string, CloudDate, std::int64_t, CloudBytes, CloudAssetName>;
using CloudStoredFields = std::map<std::string, CloudStoredValue, std::less<>>;

// The record's fields as kept, each asset by the name `assetNames` holds for its key (which must hold
// one for every asset field).
CloudStoredFields cloudStoredFields(
    const CloudRecord& record, const std::map<std::string, std::string>& assetNames);

// Version 1 of the packing: the version byte, the field count, then each field in ascending key order:
// the key, a kind byte, and the value. Keys, texts, asset names and bytes are a length then the bytes;
// a length or count is an unsigned LEB128 number; a date (nanoseconds since 1970) or an integer is
// 8 bytes, big-endian, two's complement.
CloudBytes packCloudFields(const CloudStoredFields& fields);

// The fields packed in `packed` as a record holds them, only the `desiredKeys` ones (all when absent):
// each asset as `assetValue` makes it of its name, left out when that gives none. Absent, and
// `assetValue` never called, when the bytes are not a whole packing of this version: cut short, a length
// past the end, an unknown kind, keys out of order or repeated, or bytes left over.
std::optional<std::map<std::string, CloudValue, std::less<>>> unpackCloudValues(
    std::span<const std::uint8_t> packed, const std::optional<std::set<std::string>>& desiredKeys,
    const std::function<std::optional<CloudValue>(const std::string& assetName)>& assetValue);

// The asset names of the fields packed in `packed`, without copying their other values; absent when
// `unpackCloudValues` would be.
std::optional<std::vector<std::string>> unpackCloudAssetNames(std::span<const std::uint8_t> packed);

}
