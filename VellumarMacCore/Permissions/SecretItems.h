// The catalogue of secret items: places under the home folder that hold keys and credentials.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

struct SecretItem {
    std::string id;
    std::string label;
    // Relative to the home folder; "@relay" stands for the data folder.
    std::vector<std::string> folders;
    std::vector<std::string> files;
};

namespace SecretItems {

    // "@relay": the relay's own data folder, wherever it lives.
    inline constexpr std::string_view relayPlace = "@relay";

    // The nine items in catalogue order, the order used everywhere.
    const std::vector<SecretItem>& all();
    const std::vector<std::string>& ids();
    // nullptr for an id the catalogue lacks.
    const SecretItem* find(std::string_view id);

}

}
